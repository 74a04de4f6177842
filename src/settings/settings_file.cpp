// The five operations over Setting.ini, and a save that either replaces the file whole or leaves it as it was.
#include "settings/settings_file.h"

#include <cstdlib>
#include <vector>

#include <windows.h>

#include "platform/files.h"
#include "platform/text.h"
#include "settings/settings_text.h"

enum SettingsState { SettingsClosed, SettingsReading, SettingsWriting };

static SettingsState g_state = SettingsClosed;
static HANDLE g_file = INVALID_HANDLE_VALUE;  // reading: Setting.ini itself; writing: the new file beside it
static char* g_buffer = nullptr;              // what was read, or its UTF-8 form
static const char* g_text = nullptr;          // the text after any byte order mark
static size_t g_textLength = 0;
static std::vector<SettingsEntry> g_entries;  // what WriteSetting set, in order
static bool g_written = false;
static std::wstring g_fileName;  // writing: the file to replace, and the new file that replaces it
static std::wstring g_newName;

// Guards the replace step against AbandonSettings from the console handler's thread.
static INIT_ONCE g_lockOnce = INIT_ONCE_STATIC_INIT;
static CRITICAL_SECTION g_lock;
static bool g_abandoned = false;  // under g_lock
static DWORD g_ownerThread = 0;   // under g_lock: the thread that holds the open file

static SettingsWriteStep g_writeStep = WriteWholeBuffer;

// The lock exists before either thread first takes it.
static BOOL CALLBACK InitLock(PINIT_ONCE, PVOID, PVOID*)
{
    InitializeCriticalSection(&g_lock);
    return TRUE;
}

static void Lock()
{
    InitOnceExecuteOnce(&g_lockOnce, InitLock, nullptr, nullptr);
    EnterCriticalSection(&g_lock);
}

static void Unlock()
{
    LeaveCriticalSection(&g_lock);
}

static void SetOwner(DWORD thread)
{
    Lock();
    g_ownerThread = thread;
    Unlock();
}

void SetSettingsWriteStep(SettingsWriteStep step)
{
    g_writeStep = step ? step : WriteWholeBuffer;
}

// Forgets whatever is open without writing; a new file that was not put in place is deleted.
static void ReleaseSettings()
{
    if (g_file != INVALID_HANDLE_VALUE)
        CloseHandle(g_file);
    if (g_state == SettingsWriting)
        DeleteFileW(g_newName.c_str());
    g_file = INVALID_HANDLE_VALUE;
    std::free(g_buffer);
    g_buffer = nullptr;
    g_text = nullptr;
    g_textLength = 0;
    g_entries.clear();
    g_written = false;
    g_state = SettingsClosed;
    SetOwner(0);
}

// A file we may replace: none there yet, or a plain file (Wine running as root would overwrite the others).
static bool MayReplace(const std::wstring& fileName)
{
    DWORD attributes = GetFileAttributesW(fileName.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    const DWORD refused = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                          FILE_ATTRIBUTE_DIRECTORY;
    return (attributes & refused) == 0;
}

// Reads the whole file with one read and keeps its text as UTF-8; false when it cannot be read.
static bool LoadText(HANDLE file)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart < 0 ||
        static_cast<unsigned long long>(size.QuadPart) > kMaxSettingsFileBytes)
        return false;
    DWORD length = static_cast<DWORD>(size.QuadPart);
    if (length == 0)
        return true;
    char* bytes = static_cast<char*>(std::malloc(length));
    if (!bytes)
        return false;
    DWORD got = 0;
    if (!ReadFile(file, bytes, length, &got, nullptr)) {
        std::free(bytes);
        return false;
    }
    SettingsText text;
    if (!DecodeSettingsBytes(bytes, got, &text))
        return false;
    g_buffer = text.buffer;
    g_text = text.text;
    g_textLength = text.length;
    return true;
}

bool OpenSettings(const std::wstring& fileName)
{
    CloseSettings();
    static const DWORD ways[3][2] = {
        {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ},
        {GENERIC_READ, FILE_SHARE_READ},
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE},
    };
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 3 && file == INVALID_HANDLE_VALUE; ++i)
        file = CreateFileW(fileName.c_str(), ways[i][0], ways[i][1], nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    g_file = file;
    g_state = SettingsReading;
    SetOwner(GetCurrentThreadId());
    if (!LoadText(file)) {
        ReleaseSettings();
        return false;
    }
    return true;
}

std::wstring ReadSetting(const std::wstring& key, const std::wstring& defaultValue)
{
    if (g_state == SettingsClosed)
        return defaultValue;
    std::string utf8Key = Utf8FromWide(key);
    SettingsValue value = g_state == SettingsReading ? FindSettingsValue(g_text, g_textLength, utf8Key)
                                                     : FindSettingsEntry(g_entries, utf8Key);
    if (!value.found)
        return defaultValue;
    return WideFromUtf8(value.text, value.length);
}

bool CreateSettings(const std::wstring& fileName)
{
    CloseSettings();
    Lock();
    bool abandoned = g_abandoned;
    Unlock();
    if (abandoned || !MayReplace(fileName))
        return false;

    // Held by another program without write sharing: the replace would fail later, so refuse now.
    HANDLE existing = CreateFileW(fileName.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (existing != INVALID_HANDLE_VALUE)
        CloseHandle(existing);
    else if (GetLastError() != ERROR_FILE_NOT_FOUND)
        return false;

    std::wstring newName = fileName + L".new";
    HANDLE file = CreateFileW(newName.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    g_file = file;
    g_state = SettingsWriting;
    g_fileName = fileName;
    g_newName = newName;
    SetOwner(GetCurrentThreadId());
    return true;
}

void WriteSetting(const std::wstring& key, const std::wstring& value)
{
    // Only a created file is ever written; one opened for reading stays untouched.
    if (g_state != SettingsWriting)
        return;
    SetSettingsEntry(&g_entries, Utf8FromWide(key), Utf8FromWide(value));
    g_written = true;
}

// Writes the composed content into the new file and closes it; true when all of it is on disk.
static bool FinishNewFile()
{
    bool ok = true;
    if (g_written) {
        size_t size = ComposedSettingsSize(g_entries);
        char* bytes = static_cast<char*>(std::malloc(size));
        ok = bytes != nullptr;
        if (ok) {
            ComposeSettings(g_entries, bytes);
            ok = g_writeStep(g_file, bytes, size);
        }
        std::free(bytes);
    }
    ok = FlushFileBuffers(g_file) && ok;
    ok = CloseHandle(g_file) && ok;
    g_file = INVALID_HANDLE_VALUE;
    return ok;
}

void CloseSettings()
{
    if (g_state == SettingsWriting) {
        bool replaced = false;
        if (FinishNewFile()) {
            Lock();
            if (!g_abandoned && MayReplace(g_fileName))
                replaced = MoveFileExW(g_newName.c_str(), g_fileName.c_str(),
                                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
            Unlock();
        }
        if (replaced)
            g_state = SettingsClosed;  // nothing left to delete
    }
    ReleaseSettings();
}

void AbandonSettings()
{
    Lock();
    g_abandoned = true;
    bool owner = g_ownerThread != 0 && g_ownerThread == GetCurrentThreadId();
    Unlock();
    // Another thread may be using the open file right now: only its own thread lets it go.
    if (owner)
        ReleaseSettings();
}
