// ChooseHexFile: the standard file-open dialog, with the program's other windows held still while it is open.
#include "app/file_chooser.h"

#include <windows.h>
#include <commdlg.h>

#include <vector>

#include "app/chooser_text.h"

namespace {

struct HeldWindow {
    HWND window;
    bool topmost;
    bool disabled;
};

struct HoldContext {
    DWORD thread;
    HWND foreground;
    std::vector<HeldWindow> held;
};

// Remembers each visible top-level window of this thread, disabling those that the dialog will not own.
BOOL CALLBACK HoldThreadWindow(HWND window, LPARAM context)
{
    HoldContext* hold = reinterpret_cast<HoldContext*>(context);
    if (GetWindowThreadProcessId(window, nullptr) != hold->thread || !IsWindowVisible(window))
        return TRUE;
    HeldWindow entry = {window, (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0, false};
    if (window != hold->foreground && IsWindowEnabled(window)) {
        EnableWindow(window, FALSE);
        entry.disabled = true;
    }
    hold->held.push_back(entry);
    return TRUE;
}

}  // namespace

std::wstring ChooseHexFile(const std::wstring& title, const std::wstring& preset, const std::wstring& filter,
                           int filterIndex)
{
    const DWORD kFileUnits = 260;
    std::wstring filterList = BuildFilterList(filter);
    PresetSplit split = SplitPreset(preset);
    std::vector<wchar_t> file(kFileUnits, L'\0');
    split.name.copy(file.data(), kFileUnits - 1);

    HWND foreground = GetForegroundWindow();
    DWORD foregroundProcess = 0;
    GetWindowThreadProcessId(foreground, &foregroundProcess);
    HWND owner = (foreground && foregroundProcess == GetCurrentProcessId()) ? foreground : nullptr;

    HoldContext hold = {GetCurrentThreadId(), foreground, {}};
    EnumWindows(HoldThreadWindow, reinterpret_cast<LPARAM>(&hold));
    for (const HeldWindow& entry : hold.held)
        if (entry.topmost)
            SetWindowPos(entry.window, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);

    OPENFILENAMEW dialog = {};
    dialog.lStructSize = OPENFILENAME_SIZE_VERSION_400W;
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = filterList.c_str();
    dialog.nFilterIndex = static_cast<DWORD>(filterIndex + 1);
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = kFileUnits;
    dialog.lpstrInitialDir = split.folder.c_str();
    dialog.lpstrTitle = title.c_str();
    dialog.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
    BOOL chosen = GetOpenFileNameW(&dialog);

    for (const HeldWindow& entry : hold.held) {
        if (entry.disabled)
            EnableWindow(entry.window, TRUE);
        if (entry.topmost)
            SetWindowPos(entry.window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    }
    return chosen ? std::wstring(file.data()) : std::wstring();
}
