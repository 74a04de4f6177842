// The folder part of the executable's path, after undoing the long-path prefix.
#include "platform/paths.h"

std::wstring ProgramFolderOf(const std::wstring& modulePath)
{
    std::wstring path = modulePath;
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        path = L"\\\\" + path.substr(8);  // \\?\UNC\server\share -> \\server\share
    else if (path.compare(0, 4, L"\\\\?\\") == 0)
        path.erase(0, 4);
    size_t last = path.find_last_of(L"\\/");
    return last == std::wstring::npos ? std::wstring() : path.substr(0, last + 1);
}
