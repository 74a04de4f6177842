// The programmer as a child process: started hidden with its standard output in a pipe, watched, released.
#pragma once

#include <windows.h>

#include <string>

struct ProgrammerHandle {
    HANDLE process;
    DWORD processId;
    HANDLE output;  // read end of the child's standard output; NULL when it runs without redirection
};

// NULL when the child did not start. An empty workingDirectory means the current directory.
ProgrammerHandle* StartProgrammer(const std::wstring& program, const std::wstring& parameters,
                                  const std::wstring& workingDirectory);
// Never blocks: true while the child runs, or has ended with output still unread in its pipe.
bool ProgrammerRunning(const ProgrammerHandle* programmer);
// Moves whatever the pipe holds now to the program's standard output; never blocks. True if it moved bytes.
bool ForwardProgrammerOutput(const ProgrammerHandle* programmer);
// Waits at most milliseconds for the child to end.
void AwaitProgrammer(const ProgrammerHandle* programmer, DWORD milliseconds);
// The child's exit code once it has ended; STILL_ACTIVE while it runs or when the code cannot be read.
DWORD ProgrammerExitCode(const ProgrammerHandle* programmer);
// Closes the record's handles and frees it; the child is not ended.
void CloseProgrammer(ProgrammerHandle* programmer);

// Makes the output pipe; CreatePipe unless a test puts in one that fails (nullptr puts CreatePipe back).
using PipeMaker = BOOL(WINAPI*)(PHANDLE readEnd, PHANDLE writeEnd, LPSECURITY_ATTRIBUTES attributes, DWORD size);
void SetPipeMaker(PipeMaker maker);
