// The second process the settings tests start: it holds Setting.ini open, or abandons a save in a fresh process.
#pragma once

// True when the command line asks for the child; the child's exit code then goes to *exitCode.
bool RunSettingsChild(int argc, wchar_t** argv, int* exitCode);
