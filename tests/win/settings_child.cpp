// The settings tests' child process: holds a file open in a given way, or abandons a save as the console handler does.
#include "settings_child.h"

#include <windows.h>

#include <cwchar>
#include <string>

#include "settings/settings_file.h"

namespace {

DWORD WINAPI AbandonThread(LPVOID)
{
    AbandonSettings();
    return 0;
}

// AbandonSettings on a second thread, waited for, as the console handler would run it.
void AbandonFromAnotherThread()
{
    HANDLE thread = CreateThread(nullptr, 0, AbandonThread, nullptr, 0, nullptr);
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
}

// A write step that lets the other thread abandon the save while the main thread is inside CloseSettings.
bool AbandonThenWrite(void* file, const char* data, size_t length)
{
    AbandonFromAnotherThread();
    DWORD done = 0;
    return WriteFile(static_cast<HANDLE>(file), data, static_cast<DWORD>(length), &done, nullptr) &&
           done == length;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int Abandon(const std::wstring& scenario, const std::wstring& folder)
{
    const std::wstring file = folder + L"\\Setting.ini";
    if (scenario == L"main-thread-reading") {
        if (!OpenSettings(file))
            return 10;
        AbandonSettings();
        HANDLE exclusive = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
        if (exclusive == INVALID_HANDLE_VALUE)
            return 11;  // the handle was not released
        CloseHandle(exclusive);
        return 0;
    }
    if (!CreateSettings(file))
        return 12;
    WriteSetting(L"Path", L"C:\\new.hex");
    WriteSetting(L"Port", L"COM9");
    if (scenario == L"thread-before-close") {
        AbandonFromAnotherThread();
    } else if (scenario == L"thread-inside-write") {
        SetSettingsWriteStep(AbandonThenWrite);
    } else if (scenario == L"main-thread-writing") {
        AbandonSettings();
        if (Exists(file + L".new"))
            return 13;  // the new file was left behind
    } else {
        return 14;
    }
    CloseSettings();
    if (CreateSettings(file))
        return 15;  // a save after abandoning must be refused
    return 0;
}

int Hold(DWORD access, DWORD share, const wchar_t* ready, const wchar_t* release, const wchar_t* path)
{
    HANDLE readyEvent = OpenEventW(EVENT_MODIFY_STATE, FALSE, ready);
    HANDLE releaseEvent = OpenEventW(SYNCHRONIZE, FALSE, release);
    if (!readyEvent || !releaseEvent)
        return 5;
    HANDLE file = CreateFileW(path, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 3;
    SetEvent(readyEvent);
    WaitForSingleObject(releaseEvent, 60000);  // never outlive a stuck parent for long
    CloseHandle(file);
    CloseHandle(readyEvent);
    CloseHandle(releaseEvent);
    return 0;
}

}  // namespace

bool RunSettingsChild(int argc, wchar_t** argv, int* exitCode)
{
    if (argc < 2 || std::wcscmp(argv[1], L"--settings-child") != 0)
        return false;
    if (argc == 8 && std::wcscmp(argv[2], L"hold") == 0)
        *exitCode = Hold(std::wcstoul(argv[3], nullptr, 16), std::wcstoul(argv[4], nullptr, 16), argv[5], argv[6],
                         argv[7]);
    else if (argc == 5 && std::wcscmp(argv[2], L"abandon") == 0)
        *exitCode = Abandon(argv[3], argv[4]);
    else
        *exitCode = 2;
    return true;
}
