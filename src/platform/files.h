// File-system look-ups: the size check behind HexFileUsable, and the program's own folder.
#pragma once

#include <cstddef>
#include <string>

// The size of the first directory entry that matches path; -1 when nothing matches, -2 for a folder or a drive.
long long QueryFileSize(const std::wstring& path);
// True for a non-empty path whose first match is a file of at least one byte.
bool HexFileUsable(const std::wstring& path);
// Makes the folder of the running executable the current directory; false when it could not.
bool EnterProgramFolder();
// Writes every byte to a file or pipe handle; false as soon as a write fails or stalls.
bool WriteWholeBuffer(void* handle, const char* data, size_t length);
