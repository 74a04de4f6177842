// ChooseHexFile: the standard file-open dialog for picking the HEX file.
#pragma once

#include <string>

// The chosen full path, or "" when the user cancels or the dialog fails.
std::wstring ChooseHexFile(const std::wstring& title, const std::wstring& preset, const std::wstring& filter,
                           int filterIndex);
