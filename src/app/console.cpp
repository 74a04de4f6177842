// The console that the system gives the program: its title, and the end of the program when it is closed.
#include "app/console.h"

#include "app/app.h"

void OpenConsoleWindow(const wchar_t* title)
{
    SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
    SetConsoleTitleW(title);
}

// Exported so that a test can run it on a thread of its own, as the system does when the console closes.
extern "C" __declspec(dllexport) BOOL WINAPI TarvexConsoleControlHandler(DWORD event)
{
    return ConsoleControlHandler(event);
}

BOOL WINAPI ConsoleControlHandler(DWORD event)
{
    if (event != CTRL_CLOSE_EVENT)
        return FALSE;
    ReleaseResources();
    // End here, as the system's handler would, before the main thread can start anything new.
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}
