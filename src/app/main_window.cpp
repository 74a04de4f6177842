// MainWindow and its six controls, the event queue behind WaitEvent and PollEvent, and Tab navigation.
#include "app/main_window.h"

#include <windows.h>
#include <commctrl.h>
#include <richedit.h>
#include <shlwapi.h>
#include <uxtheme.h>
#include <vssym32.h>

#include <deque>

#include "app/tab_order.h"
#include "app/window_layout.h"

namespace {

const wchar_t kWindowClass[] = L"TarvexMainWindow";
const wchar_t kWindowTitle[] = L"Прошивальщик 'pro micro (mega32u4)' v1.0";
const DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU;
const int kControlCount = 6;
const int kClosedComboHeight = 20;
const WORD kTabForward = 100;   // command ids of the two keyboard commands; above every control id
const WORD kTabBackward = 101;
const UINT_PTR kBorderSubclassId = 1;

struct ControlRow {
    const wchar_t* className;  // NULL: the rich edit class that could be loaded
    const wchar_t* text;
    DWORD style;
    bool clientEdge;
    int x, y, width, height;
};

const DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | WS_GROUP | WS_TABSTOP | BS_PUSHBUTTON;

// The controls in creation order, which is also their id order and their Tab order.
const ControlRow kControls[kControlCount] = {
    {L"Edit", L"", WS_CHILD | WS_VISIBLE | WS_GROUP | WS_TABSTOP | ES_AUTOHSCROLL, true, 8, 8, 336, 20},
    {L"Button", L"...", kButtonStyle, false, 352, 8, 28, 20},
    {L"Static", L"Порт Bootloader'a:", WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT | SS_NOPREFIX, false,
     8, 40, 104, 16},
    {L"ComboBox", L"",
     WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_GROUP | CBS_DROPDOWN | CBS_AUTOHSCROLL, false,
     112, 36, 80, kClosedComboHeight},
    {L"Button", L"Прошить", kButtonStyle, false, 244, 36, 100, 20},
    {nullptr, L"",
     WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL |
         ES_AUTOHSCROLL | ES_NOHIDESEL | ES_WANTRETURN | ES_READONLY,
     true, 4, 60, 376, 80},
};

struct Event {
    EventKind kind;
    int controlId;
};

HWND g_window;
HWND g_controls[kControlCount];
HFONT g_font;
HACCEL g_tabKeys;
HMODULE g_richEditLibrary;
const wchar_t* g_richEditClass;
int g_visualStyles = -1;  // decided once, when the first combo box or rich edit is made
std::deque<Event> g_events;
int g_lastControlId;
HWND g_focusWhileInactive;  // the control to give the focus back to when MainWindow is activated again
HWND g_focusBeforeDisable;  // a control that lost the focus because it was disabled

// Version 6 of the common controls registers its own "Button" class; older versions leave it to user32.
// (Wine's version 6 reports 5.81 from DllGetVersion, so the version number alone does not tell.)
bool CommonControls6InUse()
{
    HMODULE comctl = GetModuleHandleW(L"comctl32.dll");
    if (!comctl)
        return false;
    DLLGETVERSIONPROC getVersion =
        reinterpret_cast<DLLGETVERSIONPROC>(reinterpret_cast<void*>(GetProcAddress(comctl, "DllGetVersion")));
    DLLVERSIONINFO info = {};
    info.cbSize = sizeof info;
    if (getVersion && SUCCEEDED(getVersion(&info)) && info.dwMajorVersion >= 6)
        return true;
    WNDCLASSEXW button = {};
    button.cbSize = sizeof button;
    HMODULE owner = nullptr;
    return GetClassInfoExW(nullptr, L"Button", &button) &&
           GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(button.lpfnWndProc)), &owner) &&
           owner == comctl;
}

bool VisualStylesActive()
{
    if (g_visualStyles < 0)
        g_visualStyles = CommonControls6InUse() && IsThemeActive() ? 1 : 0;
    return g_visualStyles == 1;
}

const wchar_t* RichEditClass()
{
    if (!g_richEditClass) {
        g_richEditLibrary = LoadLibraryW(L"RICHED20.DLL");
        if (g_richEditLibrary) {
            g_richEditClass = L"RichEdit20W";
        } else {
            g_richEditLibrary = LoadLibraryW(L"RICHED32.DLL");
            g_richEditClass = L"RichEdit";
        }
    }
    return g_richEditClass;
}

void QueueEvent(EventKind kind, int controlId)
{
    g_events.push_back(Event{kind, controlId});
}

int ControlIndexOf(HWND control)
{
    for (int i = 0; i < kControlCount; ++i)
        if (control && g_controls[i] == control)
            return i;
    return -1;
}

HWND ComboEditField()
{
    COMBOBOXINFO info = {};
    info.cbSize = sizeof info;
    return GetComboBoxInfo(g_controls[PortCombo], &info) ? info.hwndItem : nullptr;
}

// PortCombo reports only what the user did to its field or its list.
bool ComboNotificationCounts(WORD code)
{
    return code == CBN_SELCHANGE || code == CBN_EDITCHANGE || code == CBN_SETFOCUS || code == CBN_KILLFOCUS;
}

// Tab stops in creation order; PortCombo's stop is its inner edit field.
HWND TabStop(int index)
{
    return index == PortCombo ? ComboEditField() : g_controls[index];
}

void MoveTabFocus(bool backward)
{
    bool eligible[kControlCount];
    int current = -1;
    HWND focus = GetFocus();
    for (int i = 0; i < kControlCount; ++i) {
        HWND stop = TabStop(i);
        eligible[i] = stop && IsWindowEnabled(g_controls[i]) && IsWindowEnabled(stop) && IsWindowVisible(stop) &&
                      (GetWindowLongW(stop, GWL_STYLE) & WS_TABSTOP);
        if (focus && (focus == stop || focus == g_controls[i] || IsChild(g_controls[i], focus)))
            current = i;
    }
    int next = NextTabStop(eligible, kControlCount, current, backward);
    if (next < 0)
        return;
    HWND stop = TabStop(next);
    SetFocus(stop);
    // As in a dialog: an entry field reached by Tab has its text selected, ready to be replaced.
    if (next == FileField || next == PortCombo)
        SendMessageW(stop, EM_SETSEL, 0, -1);
}

// In an editable rich text control a plain Tab is text, not a keyboard command.
bool TabIsText(HWND focus)
{
    if (!focus)
        return false;
    wchar_t className[32] = L"";
    GetClassNameW(focus, className, 32);
    bool rich = CompareStringOrdinal(className, -1, L"RichEdit20W", -1, TRUE) == CSTR_EQUAL ||
                CompareStringOrdinal(className, -1, L"RichEdit", -1, TRUE) == CSTR_EQUAL ||
                CompareStringOrdinal(className, -1, L"RICHEDIT50W", -1, TRUE) == CSTR_EQUAL;
    return rich && !(GetWindowLongW(focus, GWL_STYLE) & ES_READONLY);
}

void HandleMessage(MSG& msg)
{
    if (g_window && GetActiveWindow() == g_window && !TabIsText(GetFocus()) &&
        TranslateAcceleratorW(g_window, g_tabKeys, &msg))
        return;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}

EventKind TakeEvent()
{
    Event event = g_events.front();
    g_events.pop_front();
    if (event.kind == EventControl)
        g_lastControlId = event.controlId;
    return event.kind;
}

void PaintThemedBorder(HWND control)
{
    HDC dc = GetWindowDC(control);
    if (!dc)
        return;
    RECT outer;
    GetWindowRect(control, &outer);
    OffsetRect(&outer, -outer.left, -outer.top);
    RECT inner = outer;
    InflateRect(&inner, -1, -1);
    ExcludeClipRect(dc, inner.left, inner.top, inner.right, inner.bottom);
    HTHEME theme = OpenThemeData(control, L"Edit");
    if (theme) {
        if (IsThemeBackgroundPartiallyTransparent(theme, EP_EDITTEXT, ETS_READONLY))
            DrawThemeParentBackground(control, dc, &outer);
        DrawThemeBackground(theme, dc, EP_EDITTEXT, ETS_READONLY, &outer, nullptr);
        CloseThemeData(theme);
    } else {
        FrameRect(dc, &outer, GetSysColorBrush(COLOR_WINDOWFRAME));
    }
    ReleaseDC(control, dc);
}

// LogView under visual styles: a one-pixel frame drawn as the theme's read-only text box, in place of the
// client edge.
LRESULT CALLBACK ThemedBorderProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                  DWORD_PTR)
{
    switch (message) {
    case WM_NCCALCSIZE: {
        RECT* client = wParam ? &reinterpret_cast<NCCALCSIZE_PARAMS*>(lParam)->rgrc[0]
                              : reinterpret_cast<RECT*>(lParam);
        InflateRect(client, -1, -1);
        break;
    }
    case WM_NCPAINT: {
        LRESULT result = DefSubclassProc(control, message, wParam, lParam);
        PaintThemedBorder(control);
        return result;
    }
    case WM_THEMECHANGED:
        SetWindowPos(control, nullptr, 0, 0, 0, 0,
                     SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        break;
    case WM_NCDESTROY:
        RemoveWindowSubclass(control, ThemedBorderProc, kBorderSubclassId);
        break;
    }
    return DefSubclassProc(control, message, wParam, lParam);
}

void PrepareLogView(HWND log)
{
    SendMessageW(log, EM_LIMITTEXT, static_cast<WPARAM>(-1), 0);
    LRESULT mask = SendMessageW(log, EM_GETEVENTMASK, 0, 0);
    SendMessageW(log, EM_SETEVENTMASK, 0, mask | ENM_CHANGE);
    SendMessageW(log, EM_SETTARGETDEVICE, 0, 0);  // no device, width 0: wrap at the control's width
    CHARFORMATW format = {};
    format.cbSize = sizeof format;
    format.dwMask = CFM_COLOR;
    format.dwEffects = CFE_AUTOCOLOR;
    SendMessageW(log, EM_SETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&format));
    SendMessageW(log, EM_SETCHARFORMAT, SCF_ALL, reinterpret_cast<LPARAM>(&format));
    if (VisualStylesActive()) {
        SetWindowSubclass(log, ThemedBorderProc, kBorderSubclassId, 0);
        SetWindowPos(log, nullptr, 0, 0, 0, 0,
                     SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

// The closed combo box is exactly 20 pixels high whatever the font: steer the selection field's height by the
// measured window height (the item height does not read back as it was set everywhere).
void SizeClosedCombo(HWND combo)
{
    int itemHeight = static_cast<int>(SendMessageW(combo, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0));
    for (int attempt = 0; attempt < 4; ++attempt) {
        RECT r;
        GetWindowRect(combo, &r);
        int difference = kClosedComboHeight - (r.bottom - r.top);
        if (difference == 0 || itemHeight + difference < 1)
            return;
        itemHeight += difference;
        SendMessageW(combo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), itemHeight);
    }
}

void CreateControls(HINSTANCE instance)
{
    for (int id = 0; id < kControlCount; ++id) {
        const ControlRow& row = kControls[id];
        const wchar_t* className = row.className;
        int height = row.height;
        bool clientEdge = row.clientEdge;
        if (id == PortCombo) {
            // The height given here is the control's height with its list dropped.
            height = VisualStylesActive() ? kClosedComboHeight + 30 : 350;
        } else if (id == LogView) {
            className = RichEditClass();
            clientEdge = !VisualStylesActive();
        }
        HWND control = CreateWindowExW(clientEdge ? WS_EX_CLIENTEDGE : 0, className, row.text, row.style, row.x,
                                       row.y, row.width, height, g_window,
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
        g_controls[id] = control;
        SetWindowLongPtrW(control, GWLP_ID, id);
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(g_font), FALSE);
        if (id == PortCombo) {
            SizeClosedCombo(control);
            HWND field = ComboEditField();
            if (field)
                SetWindowLongW(field, GWL_STYLE, GetWindowLongW(field, GWL_STYLE) | WS_TABSTOP);
        } else if (id == LogView) {
            PrepareLogView(control);
        }
    }
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND: {
        HWND from = reinterpret_cast<HWND>(lParam);
        WORD code = HIWORD(wParam);
        if (!from) {
            if (code == 1 && LOWORD(wParam) == kTabForward)
                MoveTabFocus(false);
            else if (code == 1 && LOWORD(wParam) == kTabBackward)
                MoveTabFocus(true);
            return 0;
        }
        int id = ControlIndexOf(from);
        // A disabled control raises nothing, even when another program sends it a click.
        if (id < 0 || !IsWindowEnabled(from))
            return 0;
        if (id == PortCombo && !ComboNotificationCounts(code))
            return 0;
        QueueEvent(EventControl, id);
        return 0;
    }
    case WM_CLOSE:
        // The window stays; the event loop decides what a close request means.
        QueueEvent(EventCloseRequest, 0);
        return 0;
    case WM_ACTIVATE:
        if (LOWORD(wParam) == WA_INACTIVE) {
            HWND focus = GetFocus();
            g_focusWhileInactive = (focus && IsChild(window, focus)) ? focus : nullptr;
            return 0;
        }
        if (g_focusWhileInactive && IsWindow(g_focusWhileInactive) && IsWindowEnabled(g_focusWhileInactive)) {
            SetFocus(g_focusWhileInactive);
            return 0;
        }
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

void PrepareControls()
{
    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);
    g_font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

int OpenMainWindow(int x, int y, int width, int height)
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    windowClass.lpszClassName = kWindowClass;
    RegisterClassExW(&windowClass);

    RECT outer = {0, 0, width, height};
    AdjustWindowRectEx(&outer, kWindowStyle, FALSE, 0);
    int outerWidth = outer.right - outer.left;
    int outerHeight = outer.bottom - outer.top;
    g_window = CreateWindowExW(0, kWindowClass, kWindowTitle, kWindowStyle, x, y, outerWidth, outerHeight,
                               nullptr, nullptr, instance, nullptr);
    SetWindowPos(g_window, nullptr, CentredOrigin(outerWidth, GetSystemMetrics(SM_CXSCREEN)),
                 CentredOrigin(outerHeight, GetSystemMetrics(SM_CYSCREEN)), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    ShowWindow(g_window, SW_SHOWNORMAL);

    ACCEL keys[] = {{FVIRTKEY, VK_TAB, kTabForward}, {FVIRTKEY | FSHIFT, VK_TAB, kTabBackward}};
    g_tabKeys = CreateAcceleratorTableW(keys, 2);

    CreateControls(instance);
    return 0;
}

void CloseMainWindow()
{
    if (g_window)
        DestroyWindow(g_window);
    g_window = nullptr;
    for (HWND& control : g_controls)
        control = nullptr;
    if (g_tabKeys)
        DestroyAcceleratorTable(g_tabKeys);
    g_tabKeys = nullptr;
    if (g_richEditLibrary)
        FreeLibrary(g_richEditLibrary);
    g_richEditLibrary = nullptr;
    g_richEditClass = nullptr;
    g_events.clear();
    g_focusWhileInactive = nullptr;
    g_focusBeforeDisable = nullptr;
}

EventKind WaitEvent()
{
    if (!g_events.empty())
        return TakeEvent();
    MSG msg;
    BOOL got = GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1)
        return EventCloseRequest;  // WM_QUIT: the thread is asked to end
    HandleMessage(msg);
    return EventWindowActivity;
}

EventKind PollEvent()
{
    if (!g_events.empty())
        return TakeEvent();
    MSG msg;
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE | PM_NOYIELD))
        return EventNone;
    if (msg.message == WM_QUIT)
        return EventCloseRequest;
    HandleMessage(msg);
    return EventWindowActivity;
}

int EventControlId()
{
    return g_lastControlId;
}

std::wstring GetControlText(int id)
{
    HWND control = g_controls[id];
    int length = GetWindowTextLengthW(control);
    if (length <= 0)
        return std::wstring();
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    int copied = GetWindowTextW(control, &text[0], length + 1);
    text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
    return text;
}

void SetControlText(int id, const std::wstring& text)
{
    SetWindowTextW(g_controls[id], text.c_str());
}

void AppendItem(int id, const std::wstring& text)
{
    HWND control = g_controls[id];
    if (id == PortCombo) {
        SendMessageW(control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
        return;
    }
    SendMessageW(control, EM_HIDESELECTION, TRUE, 0);
    int end = GetWindowTextLengthW(control);
    SendMessageW(control, EM_SETSEL, end, end);
    if (end > 0)
        SendMessageW(control, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(L"\n"));
    SendMessageW(control, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(text.c_str()));
    SendMessageW(control, EM_HIDESELECTION, FALSE, 0);
}

void ClearItems(int id)
{
    SetWindowTextW(g_controls[id], L"");
}

void DisableControl(int id, bool disabled)
{
    HWND control = g_controls[id];
    if (disabled) {
        // Disabling takes the focus away; remember it so that the control gets it back when it is enabled.
        if (GetFocus() == control)
            g_focusBeforeDisable = control;
        EnableWindow(control, FALSE);
        return;
    }
    EnableWindow(control, TRUE);
    if (g_focusBeforeDisable == control) {
        g_focusBeforeDisable = nullptr;
        HWND focus = GetFocus();
        if (GetActiveWindow() == g_window && (!focus || focus == g_window))
            SetFocus(control);
        else if (GetActiveWindow() != g_window && !g_focusWhileInactive)
            g_focusWhileInactive = control;
    }
}

void DiscardQueuedInput()
{
    // The system routes queued input when it is taken, so a click made on the greyed button would otherwise
    // land on it once it is enabled again. Non-client input (the close button) is not in these ranges.
    MSG msg;
    while (PeekMessageW(&msg, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE | PM_NOYIELD)) {
    }
    const LPARAM kAltDown = 1 << 29;
    while (PeekMessageW(&msg, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE | PM_NOYIELD))
        if (msg.message == WM_SYSKEYDOWN && msg.wParam == VK_F4 && (msg.lParam & kAltDown))
            QueueEvent(EventCloseRequest, 0);
}
