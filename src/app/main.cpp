// Tarvex: the program's entry; the whole flow from startup through the event loop to the end, in one screen.
#include <windows.h>
#include <objbase.h>

#include <string>

#include "app/app.h"
#include "app/console.h"
#include "app/main_window.h"
#include "platform/files.h"

int wmain()
{
    PrepareControls();
    CoInitialize(nullptr);  // for the file dialog
    EnterProgramFolder();
    OpenConsoleWindow(L"Tarvex_console");
    OpenMainWindow(0, 0, 384, 144);
    for (int n = 1; n <= 20; ++n)
        AppendItem(PortCombo, L"COM" + std::to_wstring(n));

    RunEventLoop();

    ReleaseResources();
    return 0;
}
