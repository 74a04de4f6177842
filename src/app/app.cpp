// The event loop, the browse handler, FlushEvents, and ReleaseResources for either way the program ends.
#include "app/app.h"

#include <windows.h>

#include "app/file_chooser.h"
#include "flash/flash_job.h"
#include "platform/files.h"
#include "settings/settings_file.h"

namespace {

// Dynamic initialisation runs on the thread that starts the program: the main thread.
const DWORD g_mainThread = GetCurrentThreadId();
LONG g_released;

const wchar_t kHexFilter[] = L"HEX-файлы|*.hex|Все файлы|*.*";

}  // namespace

void BrowseForHexFile()
{
    std::wstring preset = GetControlText(FileField);
    if (!preset.empty() && !HexFileUsable(preset))
        preset.clear();
    std::wstring chosen = ChooseHexFile(L"", preset, kHexFilter, 0);
    if (!chosen.empty())
        SetControlText(FileField, chosen);
}

void RunEventLoop()
{
    for (;;) {
        EventKind event = WaitEvent();
        if (event == EventCloseRequest)
            return;
        if (event != EventControl)
            continue;
        switch (EventControlId()) {
        case BrowseButton:
            BrowseForHexFile();
            break;
        case FlashButton:
            DisableControl(FlashButton, true);
            if (FlashFirmware() == EventCloseRequest)
                return;  // the button stays disabled: the program ends
            DiscardQueuedInput();
            DisableControl(FlashButton, false);
            break;
        }
    }
}

EventKind FlushEvents()
{
    for (;;) {
        EventKind event = PollEvent();
        if (event == EventNone || event == EventCloseRequest)
            return event;
    }
}

void ReleaseResources()
{
    if (InterlockedExchange(&g_released, 1))
        return;
    AbandonSettings();  // from here on Setting.ini is never replaced, on either road
    // On the console handler's thread the main thread may be anywhere: release nothing it could still touch.
    // The process ends right after, and that closes a serial port or file that happens to be open.
    if (GetCurrentThreadId() != g_mainThread)
        return;
    CloseMainWindow();
}
