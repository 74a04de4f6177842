// Path text without Win32: the folder part of the executable's path.
#pragma once

#include <string>

// Everything up to and including the last "\" or "/", after a leading "\\?\" (or "\\?\UNC\") is undone.
std::wstring ProgramFolderOf(const std::wstring& modulePath);
