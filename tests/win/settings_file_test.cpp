// Setting.ini through real files under Wine: reading hand-made files, the bytes of a save, and saves that must not happen.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "settings/settings_file.h"

namespace {

const std::string kBom = "\xEF\xBB\xBF";
const std::string kExample = kBom + "\r\nPath = C:\\fw\\blink.hex\r\nPort = COM3\r\n";
const std::string kOld = kBom + "\r\n; kept by hand\r\nPath = C:\\old.hex\r\nPort = COM5\r\n[More]\r\nX = y\r\n";

std::string ReadBytes(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    CloseHandle(file);
    return bytes;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD done = 0;
    bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) && done == bytes.size();
    CloseHandle(file);
    return ok;
}

// The names in a folder, sorted, without "." and "..".
std::vector<std::wstring> FolderEntries(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(find, &found));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

void RemoveTree(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        for (const std::wstring& name : FolderEntries(path))
            RemoveTree(path + L"\\" + name);
        RemoveDirectoryW(path.c_str());
    } else {
        DeleteFileW(path.c_str());
    }
}

std::wstring ThisExe()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

// Runs this exe as the child of settings_child.cpp; returns its process handle, or nullptr.
HANDLE StartChild(const std::wstring& arguments)
{
    std::wstring line = L"\"" + ThisExe() + L"\" --settings-child " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    SetEnvironmentVariableW(L"TARVEX_SETTINGS_CHILD", L"1");  // a child that misreads its line must not run tests
    BOOL started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
    SetEnvironmentVariableW(L"TARVEX_SETTINGS_CHILD", nullptr);
    if (!started)
        return nullptr;
    CloseHandle(process.hThread);
    return process.hProcess;
}

// Ends a child and returns its exit code; a child that does not end in time is killed and yields -1.
int FinishChild(HANDLE process)
{
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process, 30000) != WAIT_OBJECT_0)
        TerminateProcess(process, static_cast<UINT>(-1));
    else
        GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return static_cast<int>(code);
}

// Another process holding a file open with the given access and sharing, until Release.
struct HeldFile {
    HANDLE process = nullptr;
    HANDLE ready = nullptr;
    HANDLE release = nullptr;
};

bool Hold(const std::wstring& path, DWORD access, DWORD share, HeldFile* held)
{
    static int counter = 0;
    std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++counter);
    std::wstring readyName = L"TarvexSettingsReady" + tag;
    std::wstring releaseName = L"TarvexSettingsRelease" + tag;
    held->ready = CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
    held->release = CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str());
    wchar_t flags[32];
    swprintf(flags, 32, L"%lx %lx", static_cast<unsigned long>(access), static_cast<unsigned long>(share));
    held->process = StartChild(L"hold " + std::wstring(flags) + L" " + readyName + L" " + releaseName + L" \"" +
                               path + L"\"");
    if (!held->process)
        return false;
    HANDLE both[2] = {held->ready, held->process};
    return WaitForMultipleObjects(2, both, FALSE, 20000) == WAIT_OBJECT_0;
}

void Release(HeldFile* held)
{
    if (held->release)
        SetEvent(held->release);
    if (held->process)
        FinishChild(held->process);
    if (held->ready)
        CloseHandle(held->ready);
    if (held->release)
        CloseHandle(held->release);
    *held = HeldFile();
}

// A fresh folder per test, with the settings module closed and its write step restored afterwards.
class SettingsFileTest : public testing::Test {
protected:
    void SetUp() override
    {
        static int counter = 0;
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder = std::wstring(temp) + L"tarvex-settings-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(++counter);
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        file = folder + L"\\Setting.ini";
    }
    void TearDown() override
    {
        CloseSettings();
        SetSettingsWriteStep(nullptr);
        Release(&held);
        RemoveTree(folder);
    }
    void Load(std::wstring* path, std::wstring* port)
    {
        OpenSettings(file);
        *path = ReadSetting(L"Path", L"?");
        *port = ReadSetting(L"Port", L"COM1");
        CloseSettings();
    }
    bool Save(const std::wstring& path, const std::wstring& port)
    {
        if (!CreateSettings(file))
            return false;
        WriteSetting(L"Path", path);
        WriteSetting(L"Port", port);
        CloseSettings();
        return true;
    }
    std::vector<std::wstring> OnlySettingIni() const { return std::vector<std::wstring>{L"Setting.ini"}; }

    std::wstring folder;
    std::wstring file;
    HeldFile held;
};

struct ReadCase {
    const char* name;
    std::string bytes;
    const wchar_t* path;  // with the default "?"
    const wchar_t* port;  // with the default "COM1"
};

const ReadCase kReadCases[] = {
    {"the saved example", kExample, L"C:\\fw\\blink.hex", L"COM3"},
    {"keys in other cases", "PATH = a\r\nport = COM5\r\n", L"a", L"COM5"},
    {"first of two", "Path = a\r\nPath = b\r\nPort = x\r\nPORT = y\r\n", L"a", L"x"},
    {"below a group line", "Port = COM4\r\n[Main]\r\nPath = a\r\n", L"?", L"COM4"},
    {"comments", "; Path = a\r\n  \t;Port = COM2\r\nPath = b\r\n", L"b", L"COM1"},
    {"LF line ends", "Path = a\nPort = COM6\n", L"a", L"COM6"},
    {"CR line ends", "Path = a\rPort = COM6\r", L"a", L"COM6"},
    {"a line without =", "Path\r\nPort = COM7\r\n", L"", L"COM7"},
    {"= inside values", "Path = x=y\r\nPort==COM8\r\n", L"x=y", L"=COM8"},
    {"spaces and tabs around values", "  Path \t=  \t C:\\a b \t\r\nPort =\tCOM9 ", L"C:\\a b", L"COM9"},
    {"no BOM: E9 and CF", "Path = C:\\caf\xE9\r\nPort = \xCF\r\n", L"C:\\caf\u00E9", L"\u00CF"},
    {"UTF-16 file", std::string("\xFF\xFEP\0o\0r\0t\0 \0=\0 \0C\0O\0M\0003\0\r\0\n\0", 28), L"?", L"COM1"},
    {"malformed UTF-8", kBom + "Path = a\x80z\r\nPort = COM\xC3\r\n", L"a\uFFFDz", L"COM\uFFFD"},
    {"Cyrillic path", kBom + "\r\nPath = C:\\\xD0\xBF\xD1\x80\xD0\xBE\xD1\x88\xD0\xB8\xD0\xB2\xD0\xBA\xD0\xB0.hex\r\n",
     L"C:\\\u043F\u0440\u043E\u0448\u0438\u0432\u043A\u0430.hex", L"COM1"},
    {"empty values", kBom + "\r\nPath = \r\nPort = \r\n", L"", L""},
    {"empty file", "", L"?", L"COM1"},
    {"only the BOM", kBom, L"?", L"COM1"},
};

TEST_F(SettingsFileTest, ReadsHandMadeFiles)
{
    for (const ReadCase& c : kReadCases) {
        ASSERT_TRUE(WriteBytes(file, c.bytes)) << c.name;
        std::wstring path, port;
        Load(&path, &port);
        EXPECT_EQ(path, c.path) << c.name;
        EXPECT_EQ(port, c.port) << c.name;
    }
}

TEST_F(SettingsFileTest, MissingFileOrFolderGivesDefaultsAndCreatesNothing)
{
    EXPECT_FALSE(OpenSettings(file));
    EXPECT_EQ(ReadSetting(L"Path", L""), L"");
    EXPECT_EQ(ReadSetting(L"Port", L"COM1"), L"COM1");
    CloseSettings();
    EXPECT_TRUE(FolderEntries(folder).empty());

    ASSERT_TRUE(CreateDirectoryW(file.c_str(), nullptr));
    EXPECT_FALSE(OpenSettings(file));
    EXPECT_EQ(ReadSetting(L"Port", L"COM1"), L"COM1");
}

TEST_F(SettingsFileTest, FileOfSeveralMegabytesReadsWhole)
{
    std::string bytes = kBom + "\r\n";
    while (bytes.size() < 6u * 1024 * 1024)
        bytes += "Key" + std::to_string(bytes.size()) + " = filler value\r\n";
    bytes += "port = COM12\r\nPath = " + std::string(100000, 'p') + "\r\n";
    ASSERT_TRUE(WriteBytes(file, bytes));
    std::wstring path, port;
    Load(&path, &port);
    EXPECT_EQ(port, L"COM12");
    EXPECT_EQ(path, std::wstring(100000, L'p'));
}

TEST_F(SettingsFileTest, HugeOrGarbageFilesNeverCrash)
{
    // Past 16 MiB a file counts as unreadable; below that any bytes at all are read without harm.
    struct Case {
        const char* name;
        long long size;
        bool opened;
    } cases[] = {
        {"1 GiB, sparse", 1LL << 30, false},
        {"17 MiB of garbage", 17LL << 20, false},
        {"exactly 16 MiB of garbage", 16LL << 20, true},
        {"1 MiB of garbage", 1LL << 20, true},
    };
    for (const Case& c : cases) {
        HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        if (c.size <= (32LL << 20)) {
            std::string garbage(static_cast<size_t>(c.size), '\0');
            unsigned seed = 12345;
            for (char& b : garbage) {
                seed = seed * 1103515245u + 12345u;
                b = static_cast<char>(seed >> 23);
            }
            DWORD done = 0;
            WriteFile(handle, garbage.data(), static_cast<DWORD>(garbage.size()), &done, nullptr);
        } else {
            LARGE_INTEGER end;
            end.QuadPart = c.size;
            SetFilePointerEx(handle, end, nullptr, FILE_BEGIN);
            SetEndOfFile(handle);
        }
        CloseHandle(handle);
        EXPECT_EQ(OpenSettings(file), c.opened) << c.name;
        ReadSetting(L"Path", L"");
        if (!c.opened) {
            EXPECT_EQ(ReadSetting(L"Port", L"COM1"), L"COM1") << c.name;
        }
        CloseSettings();
    }
}

struct SaveCase {
    const char* name;
    bool oldFile;
    const wchar_t* path;
    const wchar_t* port;
    std::string bytes;
};

const SaveCase kSaveCases[] = {
    {"the example, no file before", false, L"C:\\fw\\blink.hex", L"COM3", kExample},
    {"the example over a longer file", true, L"C:\\fw\\blink.hex", L"COM3", kExample},
    {"Cyrillic path, port off the list", true, L"C:\\\u043F\u0440\u043E\u0448\u0438\u0432\u043A\u0430.hex",
     L"COM25", kBom + "\r\nPath = C:\\\xD0\xBF\xD1\x80\xD0\xBE\xD1\x88\xD0\xB8\xD0\xB2\xD0\xBA\xD0\xB0.hex\r\n"
                        "Port = COM25\r\n"},
    {"empty texts", true, L"", L"", kBom + "\r\nPath = \r\nPort = \r\n"},
};

TEST_F(SettingsFileTest, SaveWritesExactlyTheBytesAndReadsBack)
{
    for (const SaveCase& c : kSaveCases) {
        DeleteFileW(file.c_str());
        if (c.oldFile) {
            ASSERT_TRUE(WriteBytes(file, kOld));
        }
        ASSERT_TRUE(Save(c.path, c.port)) << c.name;
        EXPECT_EQ(ReadBytes(file), c.bytes) << c.name;
        EXPECT_EQ(FolderEntries(folder), OnlySettingIni()) << c.name;
        std::wstring path, port;
        Load(&path, &port);
        EXPECT_EQ(path, c.path) << c.name;
        EXPECT_EQ(port, c.port) << c.name;
    }
}

TEST_F(SettingsFileTest, SaveWithNothingWrittenLeavesAnEmptyFile)
{
    ASSERT_TRUE(WriteBytes(file, kOld));
    ASSERT_TRUE(CreateSettings(file));
    CloseSettings();
    EXPECT_EQ(ReadBytes(file), "");
    EXPECT_EQ(FolderEntries(folder), OnlySettingIni());
}

TEST_F(SettingsFileTest, ReadingNeverWritesTheFile)
{
    ASSERT_TRUE(WriteBytes(file, kOld));
    ASSERT_TRUE(OpenSettings(file));
    WriteSetting(L"Path", L"C:\\other.hex");
    CloseSettings();
    EXPECT_EQ(ReadBytes(file), kOld);
}

// How the existing Setting.ini is made unsaveable, and whether it still loads.
enum Obstacle { ReadOnly, Hidden, System, Folder, HeldReading, HeldWriting, HeldExclusive, NoSuchFolder };

struct RefusalCase {
    const char* name;
    Obstacle obstacle;
    bool loads;
};

const RefusalCase kRefusalCases[] = {
    {"read-only", ReadOnly, true},
    {"hidden", Hidden, true},
    {"system", System, true},
    {"a folder named Setting.ini", Folder, false},
    {"held by a reader that shares reading only", HeldReading, true},
    {"held by a writer that shares reading and writing", HeldWriting, true},
    {"held exclusively", HeldExclusive, false},
    {"its folder does not exist", NoSuchFolder, false},
};

TEST_F(SettingsFileTest, RefusesToReplaceAFileItMayNotAndLeavesItAsItWas)
{
    const std::wstring plain = file;
    for (const RefusalCase& c : kRefusalCases) {
        file = plain;
        RemoveTree(file);
        ASSERT_TRUE(WriteBytes(file, kOld));
        DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
        switch (c.obstacle) {
        case ReadOnly: attributes = FILE_ATTRIBUTE_READONLY; break;
        case Hidden: attributes = FILE_ATTRIBUTE_HIDDEN; break;
        case System: attributes = FILE_ATTRIBUTE_SYSTEM; break;
        case Folder:
            DeleteFileW(file.c_str());
            ASSERT_TRUE(CreateDirectoryW(file.c_str(), nullptr));
            break;
        case HeldReading: ASSERT_TRUE(Hold(file, GENERIC_READ, FILE_SHARE_READ, &held)) << c.name; break;
        case HeldWriting:
            ASSERT_TRUE(Hold(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &held)) << c.name;
            break;
        case HeldExclusive: ASSERT_TRUE(Hold(file, GENERIC_READ, 0, &held)) << c.name; break;
        case NoSuchFolder: file = folder + L"\\missing\\Setting.ini"; break;
        }
        if (attributes != FILE_ATTRIBUTE_ARCHIVE) {
            ASSERT_TRUE(SetFileAttributesW(file.c_str(), attributes));
        }
        DWORD before = GetFileAttributesW(file.c_str());

        std::wstring path, port;
        Load(&path, &port);
        EXPECT_EQ(port, c.loads ? L"COM5" : L"COM1") << c.name;

        EXPECT_FALSE(CreateSettings(file)) << c.name;
        WriteSetting(L"Port", L"COM9");  // must go nowhere
        CloseSettings();
        Release(&held);

        EXPECT_EQ(GetFileAttributesW(file.c_str()), before) << c.name;
        if (c.obstacle != Folder && c.obstacle != NoSuchFolder) {
            EXPECT_EQ(ReadBytes(file), kOld) << c.name;
        }
        EXPECT_EQ(FolderEntries(folder), OnlySettingIni()) << c.name;
        SetFileAttributesW(plain.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

bool WriteHalfThenFail(void* file, const char* data, size_t length)
{
    DWORD done = 0;
    WriteFile(static_cast<HANDLE>(file), data, static_cast<DWORD>(length / 2), &done, nullptr);
    return false;
}

bool WriteNothingAndFail(void*, const char*, size_t)
{
    return false;
}

enum LateFailure { WriteHalf, WriteNothing, MadeReadOnly, HeldBeforeReplace };

TEST_F(SettingsFileTest, SaveThatFailsPartWayLeavesThePreviousFile)
{
    struct Case {
        const char* name;
        LateFailure failure;
    } cases[] = {
        {"the write stops half way", WriteHalf},
        {"the write fails at once", WriteNothing},
        {"made read-only meanwhile", MadeReadOnly},
        {"opened by another program meanwhile", HeldBeforeReplace},
    };
    for (const Case& c : cases) {
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        ASSERT_TRUE(WriteBytes(file, kOld));
        ASSERT_TRUE(CreateSettings(file)) << c.name;
        WriteSetting(L"Path", L"C:\\fw\\blink.hex");
        WriteSetting(L"Port", L"COM3");
        switch (c.failure) {
        case WriteHalf: SetSettingsWriteStep(WriteHalfThenFail); break;
        case WriteNothing: SetSettingsWriteStep(WriteNothingAndFail); break;
        case MadeReadOnly: SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY); break;
        case HeldBeforeReplace:
            ASSERT_TRUE(Hold(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &held)) << c.name;
            break;
        }
        CloseSettings();
        SetSettingsWriteStep(nullptr);
        Release(&held);
        EXPECT_EQ(ReadBytes(file), kOld) << c.name;
        EXPECT_EQ(FolderEntries(folder), OnlySettingIni()) << c.name;
    }
}

// Runs a Unix command through Wine and waits for it; -1 where that is not possible.
int RunUnix(std::vector<const char*> argv)
{
    typedef LONG(CDECL * Spawn)(char* const argv[], int wait);
    Spawn spawn = reinterpret_cast<Spawn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp")));
    if (!spawn)
        return -1;
    argv.push_back(nullptr);
    return static_cast<int>(spawn(const_cast<char* const*>(argv.data()), 1));
}

std::string UnixPath(const std::wstring& path)
{
    typedef char*(CDECL * ToUnix)(LPCWSTR);
    ToUnix toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unix = toUnix ? toUnix(path.c_str()) : nullptr;
    std::string result = unix ? unix : "";
    if (unix)
        HeapFree(GetProcessHeap(), 0, unix);
    return result;
}

TEST_F(SettingsFileTest, SaveOntoAFullDiskLeavesThePreviousFile)
{
    const std::wstring disk = folder + L"\\disk";
    ASSERT_TRUE(CreateDirectoryW(disk.c_str(), nullptr));
    std::string unixDisk = UnixPath(disk);
    int mounted = unixDisk.empty() ? -1
                                   : RunUnix({"/bin/mount", "-t", "tmpfs", "-o", "size=16k", "tarvex-full",
                                              unixDisk.c_str()});
    if (mounted != 0)
        GTEST_SKIP() << "cannot mount a 16 KiB tmpfs here (not Wine, or mount not permitted: status " << mounted
                     << "); the full-disk save is not tested";

    file = disk + L"\\Setting.ini";
    ASSERT_TRUE(WriteBytes(file, kOld));
    // Fill the disk page by page, then free one page: a save of more than a page fails part way.
    const std::wstring filler = disk + L"\\filler";
    HANDLE handle = CreateFileW(filler.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    std::string page(4096, 'f');
    DWORD done = 0;
    long long filled = 0;
    while (filled < (1 << 20) && WriteFile(handle, page.data(), 4096, &done, nullptr) && done == 4096)
        filled += 4096;
    LARGE_INTEGER end;
    end.QuadPart = filled - 4096;
    SetFilePointerEx(handle, end, nullptr, FILE_BEGIN);
    SetEndOfFile(handle);
    CloseHandle(handle);

    const std::vector<std::wstring> expected = {L"Setting.ini", L"filler"};
    ASSERT_TRUE(CreateSettings(file));
    WriteSetting(L"Path", std::wstring(10000, L'x'));
    WriteSetting(L"Port", L"COM3");
    CloseSettings();
    EXPECT_EQ(ReadBytes(file), kOld);
    EXPECT_EQ(FolderEntries(disk), expected);

    // A save that fits the page left still goes through.
    EXPECT_TRUE(Save(L"C:\\fw\\blink.hex", L"COM3"));
    EXPECT_EQ(ReadBytes(file), kExample);
    EXPECT_EQ(FolderEntries(disk), expected);

    EXPECT_EQ(RunUnix({"/bin/umount", unixDisk.c_str()}), 0);
}

TEST_F(SettingsFileTest, AbandonedSaveLeavesTheFileAsItWas)
{
    // Each case runs in a fresh child: after AbandonSettings a process never saves again.
    const wchar_t* scenarios[] = {
        L"thread-before-close",
        L"thread-inside-write",
        L"main-thread-writing",
        L"main-thread-reading",
    };
    for (const wchar_t* scenario : scenarios) {
        ASSERT_TRUE(WriteBytes(file, kOld));
        HANDLE child = StartChild(L"abandon " + std::wstring(scenario) + L" \"" + folder + L"\"");
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(FinishChild(child), 0) << scenario;
        EXPECT_EQ(ReadBytes(file), kOld) << scenario;
        EXPECT_EQ(FolderEntries(folder), OnlySettingIni()) << scenario;
    }
}

}  // namespace
