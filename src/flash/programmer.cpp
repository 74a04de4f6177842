// The programmer as a child process: started hidden on the program's console with its standard output in a pipe.
#include "flash/programmer.h"

#include <vector>

#include "flash/command_line.h"
#include "platform/files.h"

namespace {

PipeMaker g_makePipe = CreatePipe;

// An inheritable write end for the child and a read end that stays with the program; false when none was made.
bool MakeOutputPipe(HANDLE* readEnd, HANDLE* writeEnd)
{
    SECURITY_ATTRIBUTES attributes;
    ZeroMemory(&attributes, sizeof(attributes));
    attributes.nLength = sizeof(attributes);
    attributes.bInheritHandle = TRUE;
    HANDLE inheritableRead = nullptr;
    HANDLE write = nullptr;
    if (!g_makePipe(&inheritableRead, &write, &attributes, 0))
        return false;
    // A read end the child inherited would keep the pipe open after the program let go of it.
    HANDLE self = GetCurrentProcess();
    HANDLE read = nullptr;
    BOOL duplicated = DuplicateHandle(self, inheritableRead, self, &read, 0, FALSE, DUPLICATE_SAME_ACCESS);
    CloseHandle(inheritableRead);
    if (!duplicated) {
        CloseHandle(write);
        return false;
    }
    *readEnd = read;
    *writeEnd = write;
    return true;
}

// The number of bytes waiting in the pipe; 0 when the peek fails.
DWORD PendingOutput(HANDLE output)
{
    DWORD available = 0;
    if (!PeekNamedPipe(output, nullptr, 0, nullptr, &available, nullptr))
        return 0;
    return available;
}

}  // namespace

void SetPipeMaker(PipeMaker maker)
{
    g_makePipe = maker ? maker : CreatePipe;
}

ProgrammerHandle* StartProgrammer(const std::wstring& program, const std::wstring& parameters,
                                  const std::wstring& workingDirectory)
{
    std::wstring commandLine = ProgrammerCommandLine(program, parameters);
    // CreateProcessW may write into the command line, so it gets a copy of its own.
    std::vector<wchar_t> writableLine(commandLine.begin(), commandLine.end());
    writableLine.push_back(L'\0');
    const wchar_t* directory = workingDirectory.empty() ? nullptr : workingDirectory.c_str();

    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    bool piped = MakeOutputPipe(&readEnd, &writeEnd);

    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    BOOL inherit = FALSE;
    DWORD creationFlags = NORMAL_PRIORITY_CLASS;
    if (piped) {
        // The child shares the program's console for input and errors; only its output is taken.
        startup.dwFlags |= STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = writeEnd;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        inherit = TRUE;
    } else {
        creationFlags |= DETACHED_PROCESS;
    }

    PROCESS_INFORMATION started;
    ZeroMemory(&started, sizeof(started));
    BOOL created = CreateProcessW(nullptr, writableLine.data(), nullptr, nullptr, inherit, creationFlags, nullptr,
                                  directory, &startup, &started);
    // The child has its own copy now; the program's copy would keep the pipe from ever reporting its end.
    if (piped)
        CloseHandle(writeEnd);
    if (!created) {
        if (piped)
            CloseHandle(readEnd);
        return nullptr;
    }
    CloseHandle(started.hThread);

    ProgrammerHandle* programmer = new ProgrammerHandle;
    programmer->process = started.hProcess;
    programmer->processId = started.dwProcessId;
    programmer->output = piped ? readEnd : nullptr;
    return programmer;
}

bool ProgrammerRunning(const ProgrammerHandle* programmer)
{
    if (!programmer)
        return false;
    if (WaitForSingleObject(programmer->process, 0) != WAIT_OBJECT_0)
        return true;
    if (!programmer->output)
        return false;
    return PendingOutput(programmer->output) > 0;
}

bool ForwardProgrammerOutput(const ProgrammerHandle* programmer)
{
    if (!programmer || !programmer->output)
        return false;
    DWORD available = PendingOutput(programmer->output);
    if (available == 0)
        return false;
    char buffer[65536];
    DWORD wanted = available < sizeof(buffer) ? available : static_cast<DWORD>(sizeof(buffer));
    DWORD got = 0;
    // The peek said this much is there, so the read returns at once.
    if (!ReadFile(programmer->output, buffer, wanted, &got, nullptr) || got == 0)
        return false;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out && out != INVALID_HANDLE_VALUE)
        WriteWholeBuffer(out, buffer, got);  // a console that refuses loses the bytes, the wait goes on
    return true;
}

void AwaitProgrammer(const ProgrammerHandle* programmer, DWORD milliseconds)
{
    if (programmer)
        WaitForSingleObject(programmer->process, milliseconds);
}

DWORD ProgrammerExitCode(const ProgrammerHandle* programmer)
{
    DWORD code = STILL_ACTIVE;
    if (!programmer || !GetExitCodeProcess(programmer->process, &code))
        return STILL_ACTIVE;
    return code;
}

void CloseProgrammer(ProgrammerHandle* programmer)
{
    if (!programmer)
        return;
    CloseHandle(programmer->process);
    if (programmer->output)
        CloseHandle(programmer->output);
    delete programmer;
}
