// Tarvex: the program's entry; the whole flow from startup through the event loop to the end, in one screen.
#include <windows.h>
#include <objbase.h>

#include <string>

#include "app/app.h"
#include "app/console.h"
#include "app/main_window.h"
#include "platform/files.h"
#include "settings/settings_file.h"

int wmain()
{
    PrepareControls();
    CoInitialize(nullptr);  // for the file dialog
    EnterProgramFolder();
    OpenConsoleWindow(L"Tarvex_console");
    OpenMainWindow(0, 0, 384, 144);
    for (int n = 1; n <= 20; ++n)
        AppendItem(PortCombo, L"COM" + std::to_wstring(n));
    OpenSettings(L"Setting.ini");
    SetControlText(FileField, ReadSetting(L"Path", L""));
    SetControlText(PortCombo, ReadSetting(L"Port", L"COM1"));
    CloseSettings();

    RunEventLoop();

    if (CreateSettings(L"Setting.ini")) {
        WriteSetting(L"Path", GetControlText(FileField));
        WriteSetting(L"Port", GetControlText(PortCombo));
        CloseSettings();
    }

    ReleaseResources();
    return 0;
}
