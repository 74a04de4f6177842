// The programmer process for real: a stand-in avrdude.exe shows the command line, the exit code, the output
// roads and the handles left behind.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash/command_line.h"
#include "flash/programmer.h"

namespace {

// The stand-in's Unix path from the build, as Wine's Z: drive sees it.
std::wstring FakeProgrammerPath()
{
    std::string unixPath = TARVEX_FAKE_PROGRAMMER;
    std::wstring path = L"Z:";
    for (char c : unixPath)
        path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return path;
}

std::string ReadWholeFile(const std::wstring& path)
{
    std::string text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return text;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        text.append(buffer, got);
    CloseHandle(file);
    return text;
}

void WriteWholeFile(const std::wstring& path, const std::string& text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

std::wstring Wide(const std::string& utf8)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
    return out;
}

std::vector<std::wstring> SplitTheWindowsWay(const std::wstring& commandLine)
{
    std::vector<std::wstring> args;
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(commandLine.c_str(), &count);
    for (int i = 0; argv && i < count; ++i)
        args.push_back(argv[i]);
    LocalFree(argv);
    return args;
}

// This process's open handles, from the system-wide handle list (Wine's GetProcessHandleCount answers 0).
DWORD HandleCount()
{
    struct Entry {
        ULONG ownerPid;
        BYTE objectType;
        BYTE flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    struct Table {
        ULONG count;
        Entry entries[1];
    };
    typedef LONG(NTAPI * QueryFunction)(ULONG, PVOID, ULONG, PULONG);
    const ULONG kSystemHandleInformation = 16;
    const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    QueryFunction query = reinterpret_cast<QueryFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<char> buffer(1 << 20);
    ULONG length = 0;
    LONG status;
    while ((status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &length)) ==
           kInfoLengthMismatch)
        buffer.resize(buffer.size() * 2);
    if (status != 0)
        return 0;
    const Table* table = reinterpret_cast<const Table*>(buffer.data());
    DWORD own = 0;
    for (ULONG i = 0; i < table->count; ++i)
        own += table->entries[i].ownerPid == GetCurrentProcessId();
    return own;
}

BOOL WINAPI PipeThatFails(PHANDLE, PHANDLE, LPSECURITY_ATTRIBUTES, DWORD)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

// A run folder with the stand-in as avrdude.exe, made the current directory so that "avrdude" finds it.
class ProgrammerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder_ = std::wstring(temp) + L"tarvex-programmer-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                  std::to_wstring(GetTickCount64()) + L"\\";
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
        ASSERT_TRUE(CopyFileW(FakeProgrammerPath().c_str(), (folder_ + L"avrdude.exe").c_str(), FALSE))
            << "no stand-in at " << std::string(TARVEX_FAKE_PROGRAMMER);
        wchar_t current[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, current);
        previousDirectory_ = current;
        SetCurrentDirectoryW(folder_.c_str());
    }

    void TearDown() override
    {
        SetPipeMaker(nullptr);
        SetCurrentDirectoryW(previousDirectory_.c_str());
        for (const wchar_t* name : {L"avrdude.exe", L"programmer-mode.txt", L"programmer-runs.txt", L"out.bin",
                                    L"err.bin"})
            DeleteFileW((folder_ + name).c_str());
        RemoveDirectoryW(folder_.c_str());
    }

    void SetMode(const std::string& mode) { WriteWholeFile(folder_ + L"programmer-mode.txt", mode); }

    ProgrammerHandle* Start(const std::wstring& port = L"COM3", const std::wstring& path = L"C:\\fw\\blink.hex")
    {
        return StartProgrammer(L"avrdude", ProgrammerParameters(port, QuotedPath(path)), L"");
    }

    // Waits the way the flash job does; false when the child has not ended within the limit.
    bool RunToEnd(ProgrammerHandle* programmer, DWORD limitMs = 20000)
    {
        ULONGLONG deadline = GetTickCount64() + limitMs;
        while (ProgrammerRunning(programmer)) {
            if (GetTickCount64() > deadline)
                return false;
            if (!ForwardProgrammerOutput(programmer))
                AwaitProgrammer(programmer, 10);
        }
        return true;
    }

    // The command line the stand-in saw in its one logged run.
    std::wstring LoggedCommandLine()
    {
        std::string runs = ReadWholeFile(folder_ + L"programmer-runs.txt");
        size_t first = runs.find(' ');
        size_t second = first == std::string::npos ? first : runs.find(' ', first + 1);
        size_t end = runs.find('\n');
        if (second == std::string::npos || end == std::string::npos || runs.find('\n', end + 1) != std::string::npos)
            return L"<not one run: " + Wide(runs) + L">";
        return Wide(runs.substr(second + 1, end - second - 1));
    }

    // Runs body with the program's standard handle `which` sent into a file of the run folder; returns its bytes.
    template <typename Body>
    std::string CaptureStdHandle(DWORD which, const wchar_t* fileName, Body body)
    {
        std::wstring path = folder_ + fileName;
        SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0,
                                  nullptr);
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        HANDLE previous = GetStdHandle(which);
        SetStdHandle(which, file);
        body();
        SetStdHandle(which, previous);
        CloseHandle(file);
        return ReadWholeFile(path);
    }

    std::wstring folder_;
    std::wstring previousDirectory_;
};

struct CommandLineCase {
    const char* what;
    std::wstring port;
    std::wstring path;
    std::wstring expectedLine;  // empty: only the arguments are checked
    std::wstring lastArgument;
};

TEST_F(ProgrammerTest, TheChildSeesTheCommandLineAsComposed)
{
    const CommandLineCase cases[] = {
        {"the usual board", L"COM3", L"C:\\fw\\blink.hex",
         L"\"avrdude\" -v -p atmega32u4 -c avr109 -P COM3 -b 57600 -D -U flash:w:\"C:\\fw\\blink.hex\":i",
         L"flash:w:C:\\fw\\blink.hex:i"},
        {"a path with spaces is one argument", L"COM12", L"C:\\My Files\\new fw.hex", L"",
         L"flash:w:C:\\My Files\\new fw.hex:i"},
        {"Cyrillic survives the trip", L"COM4", L"D:\\прошивки\\мигалка.hex", L"",
         L"flash:w:D:\\прошивки\\мигалка.hex:i"},
    };
    for (const CommandLineCase& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileW((folder_ + L"programmer-runs.txt").c_str());
        ProgrammerHandle* programmer = Start(c.port, c.path);
        ASSERT_NE(programmer, nullptr);
        ASSERT_TRUE(RunToEnd(programmer));
        CloseProgrammer(programmer);

        std::wstring seen = LoggedCommandLine();
        if (!c.expectedLine.empty()) {
            EXPECT_EQ(seen, c.expectedLine);
        }
        std::vector<std::wstring> args = SplitTheWindowsWay(seen);
        ASSERT_EQ(args.size(), 13u);
        EXPECT_EQ(args[7], c.port);
        EXPECT_EQ(args[12], c.lastArgument);
    }
}

struct ExitCase {
    const char* mode;
    DWORD expected;
};

TEST_F(ProgrammerTest, ExitCodeIsTheChildsOwn)
{
    const ExitCase cases[] = {
        {"exit_code=0\n", 0},
        {"exit_code=1\n", 1},
        {"exit_code=3\nstdout_bytes=5000\n", 3},
        {"exit_code=-1073741819\n", 0xC0000005},  // an access violation's code: above INT_MAX
    };
    for (const ExitCase& c : cases) {
        SCOPED_TRACE(c.mode);
        SetMode(c.mode);
        ProgrammerHandle* programmer = Start();
        ASSERT_NE(programmer, nullptr);
        std::string ignored = CaptureStdHandle(STD_OUTPUT_HANDLE, L"out.bin", [&] { EXPECT_TRUE(RunToEnd(programmer)); });
        EXPECT_EQ(ProgrammerExitCode(programmer), c.expected);
        CloseProgrammer(programmer);
    }
}

TEST_F(ProgrammerTest, OutputIsMovedWholeSoTheWaitEnds)
{
    const unsigned long long sizes[] = {1, 4096, 65537, 1048576};
    for (unsigned long long size : sizes) {
        SCOPED_TRACE(size);
        SetMode("stdout_bytes=" + std::to_string(size) + "\n");
        ProgrammerHandle* programmer = Start();
        ASSERT_NE(programmer, nullptr);
        bool ended = false;
        std::string moved = CaptureStdHandle(STD_OUTPUT_HANDLE, L"out.bin", [&] { ended = RunToEnd(programmer); });
        EXPECT_TRUE(ended);
        EXPECT_EQ(ProgrammerExitCode(programmer), 0u);
        CloseProgrammer(programmer);
        ASSERT_EQ(moved.size(), size);
        // 64-byte lines of 'a', 'b', ...: a lost or doubled chunk shifts the letters.
        for (size_t i = 0; i < moved.size(); i += 4093) {
            size_t line = i / 64;
            char expected = (i % 64 == 63) ? '\n' : static_cast<char>('a' + line % 26);
            ASSERT_EQ(moved[i], expected) << "at byte " << i;
        }
    }
}

TEST_F(ProgrammerTest, RunningStaysTrueOnlyWhileOutputIsUnread)
{
    SetMode("stdout_text=0123456789\\n\n");
    ProgrammerHandle* programmer = Start();
    ASSERT_NE(programmer, nullptr);
    ASSERT_EQ(WaitForSingleObject(programmer->process, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(ProgrammerRunning(programmer)) << "11 bytes wait in the pipe";
    EXPECT_TRUE(ProgrammerRunning(programmer)) << "asking reads nothing";
    std::string moved = CaptureStdHandle(STD_OUTPUT_HANDLE, L"out.bin", [&] {
        EXPECT_TRUE(ForwardProgrammerOutput(programmer));
        EXPECT_FALSE(ForwardProgrammerOutput(programmer));
    });
    EXPECT_EQ(moved, "0123456789\n");
    EXPECT_FALSE(ProgrammerRunning(programmer));
    CloseProgrammer(programmer);
}

TEST_F(ProgrammerTest, SilentChildIsDoneAtTheFirstCallAfterItEnds)
{
    ProgrammerHandle* programmer = Start();
    ASSERT_NE(programmer, nullptr);
    ASSERT_EQ(WaitForSingleObject(programmer->process, 10000), WAIT_OBJECT_0);
    EXPECT_FALSE(ProgrammerRunning(programmer));
    // Only the child held the write end: with it gone the pipe reports its end instead of waiting for more.
    DWORD available = 0;
    EXPECT_FALSE(PeekNamedPipe(programmer->output, nullptr, 0, nullptr, &available, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    CloseProgrammer(programmer);
}

TEST_F(ProgrammerTest, NothingBlocksWhileTheChildRuns)
{
    SetMode("sleep_ms=1500\n");
    ProgrammerHandle* programmer = Start();
    ASSERT_NE(programmer, nullptr);
    ULONGLONG before = GetTickCount64();
    for (int i = 0; i < 200; ++i) {
        EXPECT_TRUE(ProgrammerRunning(programmer));
        EXPECT_FALSE(ForwardProgrammerOutput(programmer));
    }
    EXPECT_LT(GetTickCount64() - before, 500u);
    before = GetTickCount64();
    AwaitProgrammer(programmer, 50);
    ULONGLONG waited = GetTickCount64() - before;
    EXPECT_GE(waited, 40u);
    EXPECT_LT(waited, 400u);
    EXPECT_EQ(ProgrammerExitCode(programmer), static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_TRUE(RunToEnd(programmer));
    CloseProgrammer(programmer);
}

TEST_F(ProgrammerTest, ChildErrorsGoToTheProgramsOwnErrorOutput)
{
    SetMode("stderr_text=avrdude: ser_open(): can't open device\\n\nstdout_text=to the pipe\\n\n");
    ProgrammerHandle* programmer = nullptr;
    std::string errors = CaptureStdHandle(STD_ERROR_HANDLE, L"err.bin", [&] {
        programmer = Start();
        ASSERT_NE(programmer, nullptr);
        ASSERT_EQ(WaitForSingleObject(programmer->process, 10000), WAIT_OBJECT_0);
    });
    EXPECT_EQ(errors, "avrdude: ser_open(): can't open device\n");
    if (programmer) {
        std::string output = CaptureStdHandle(STD_OUTPUT_HANDLE, L"out.bin", [&] { RunToEnd(programmer); });
        EXPECT_EQ(output, "to the pipe\n");
        CloseProgrammer(programmer);
    }
}

TEST_F(ProgrammerTest, ThePipeEndsStayWithTheirOwners)
{
    SetMode("sleep_ms=300\n");
    DWORD handlesBefore = HandleCount();
    ASSERT_GT(handlesBefore, 0u) << "no handle list to compare";
    ProgrammerHandle* programmer = Start();
    ASSERT_NE(programmer, nullptr);
    ASSERT_NE(programmer->output, nullptr);
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(programmer->output, &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u) << "a child holding the read end would keep the pipe alive";
    EXPECT_NE(programmer->processId, 0u);
    EXPECT_TRUE(RunToEnd(programmer));
    CloseProgrammer(programmer);
    EXPECT_EQ(HandleCount(), handlesBefore) << "a handle of the run was left open";
}

TEST_F(ProgrammerTest, NoProgrammerToFindLeavesNothingOpen)
{
    DWORD handlesBefore = HandleCount();
    ASSERT_GT(handlesBefore, 0u) << "no handle list to compare";
    EXPECT_EQ(StartProgrammer(L"tarvex-no-such-programmer", L"-v", L""), nullptr);
    EXPECT_EQ(StartProgrammer(L"avrdude", L"-v", L"C:\\tarvex-no-such-folder"), nullptr);
    EXPECT_EQ(HandleCount(), handlesBefore);
}

TEST_F(ProgrammerTest, WithoutAPipeTheChildStillRunsAndEnds)
{
    SetPipeMaker(PipeThatFails);
    SetMode("stdout_text=lost\\n\nexit_code=7\n");
    DWORD handlesBefore = HandleCount();
    ASSERT_GT(handlesBefore, 0u) << "no handle list to compare";
    ProgrammerHandle* programmer = nullptr;
    std::string output = CaptureStdHandle(STD_OUTPUT_HANDLE, L"out.bin", [&] {
        programmer = Start();
        ASSERT_NE(programmer, nullptr);
        EXPECT_EQ(programmer->output, nullptr);
        EXPECT_FALSE(ForwardProgrammerOutput(programmer));
        EXPECT_TRUE(RunToEnd(programmer));
    });
    EXPECT_EQ(output, "") << "the detached child has no standard output of the program's";
    if (programmer) {
        EXPECT_EQ(ProgrammerExitCode(programmer), 7u);
        CloseProgrammer(programmer);
    }
    EXPECT_EQ(HandleCount(), handlesBefore);
    EXPECT_EQ(LoggedCommandLine(),
              L"\"avrdude\" -v -p atmega32u4 -c avr109 -P COM3 -b 57600 -D -U flash:w:\"C:\\fw\\blink.hex\":i");
}

}  // namespace
