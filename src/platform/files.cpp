// File-system look-ups: QueryFileSize behind the HEX file check, and entering the program's own folder.
#include "platform/files.h"

#include <windows.h>

#include "platform/paths.h"

namespace {

const size_t kExaminedUnits = 260;

// -2 when the text names a drive that has a root directory, else -1.
long long DriveSize(const std::wstring& drive)
{
    return GetDriveTypeW(drive.c_str()) > DRIVE_NO_ROOT_DIR ? -2 : -1;
}

}  // namespace

long long QueryFileSize(const std::wstring& path)
{
    if (path.empty())
        return -1;
    std::wstring p = path.substr(0, kExaminedUnits);
    if ((p.size() == 2 || p.size() == 3) && p[1] == L':') {
        if (p.size() == 2)
            p += L'\\';
        return DriveSize(p);
    }
    while (!p.empty() && (p.back() == L'\\' || p.back() == L'/'))
        p.pop_back();

    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(p.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        FindClose(search);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            return -2;
        return static_cast<long long>((static_cast<unsigned long long>(found.nFileSizeHigh) << 32) |
                                      found.nFileSizeLow);
    }
    // Share roots and ".." are no directory entries of their own: ask for their attributes instead.
    if (p.compare(0, 2, L"\\\\") == 0 || p.compare(0, 2, L"..") == 0) {
        DWORD attributes = GetFileAttributesW(p.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES)
            return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? -2 : -1;
        return DriveSize(p);
    }
    return -1;
}

bool HexFileUsable(const std::wstring& path)
{
    return !path.empty() && QueryFileSize(path) > 0;
}

bool WriteWholeBuffer(void* handle, const char* data, size_t length)
{
    while (length > 0) {
        DWORD chunk = length > 0x10000000u ? 0x10000000u : static_cast<DWORD>(length);
        DWORD done = 0;
        if (!WriteFile(static_cast<HANDLE>(handle), data, chunk, &done, nullptr) || done == 0)
            return false;
        data += done;
        length -= done;
    }
    return true;
}

bool EnterProgramFolder()
{
    // Grow the buffer until the whole path fits: a cut path would name some other folder.
    std::wstring module(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, &module[0], static_cast<DWORD>(module.size()));
        if (length == 0)
            return false;
        if (length < module.size()) {
            module.resize(length);
            break;
        }
        if (module.size() >= 32768)
            return false;
        module.resize(module.size() * 2);
    }
    std::wstring folder = ProgramFolderOf(module);
    return !folder.empty() && SetCurrentDirectoryW(folder.c_str()) != FALSE;
}
