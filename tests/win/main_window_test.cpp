// MainWindow in this process: the event queue, disabled controls, the log's lines, fonts and focus memory.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/main_window.h"

namespace {

typedef std::vector<std::pair<EventKind, int>> Events;

// Everything pending, as (kind, control id) pairs, leaving out activity the program does not act on.
Events Drain()
{
    Events taken;
    for (EventKind kind; (kind = PollEvent()) != EventNone;)
        if (kind != EventWindowActivity)
            taken.push_back({kind, kind == EventControl ? EventControlId() : -1});
    return taken;
}

int Count(const Events& events, EventKind kind, int id)
{
    int n = 0;
    for (const auto& e : events)
        n += e.first == kind && (kind != EventControl || e.second == id);
    return n;
}

HWND Main()
{
    return FindWindowW(L"TarvexMainWindow", nullptr);
}

HWND Control(int id)
{
    return GetDlgItem(Main(), id);
}

void ClickAtCentre(HWND control)
{
    RECT r;
    GetWindowRect(control, &r);
    SetCursorPos((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    INPUT input[2] = {};
    input[0].type = input[1].type = INPUT_MOUSE;
    input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, input, sizeof(INPUT));
    Sleep(100);
}

class MainWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        PrepareControls();
        OpenMainWindow(0, 0, 384, 144);
        SetForegroundWindow(Main());
        Sleep(200);
        Drain();
    }
    static void TearDownTestSuite() { CloseMainWindow(); }
    void SetUp() override { Drain(); }
};

TEST_F(MainWindowTest, NothingPendingGivesNone)
{
    EXPECT_EQ(PollEvent(), EventNone);
    EXPECT_EQ(PollEvent(), EventNone);
}

TEST_F(MainWindowTest, StandardControlsUseTheStockFont)
{
    HGDIOBJ stock = GetStockObject(DEFAULT_GUI_FONT);
    for (int id : {FileField, BrowseButton, PortLabel, PortCombo, FlashButton})
        EXPECT_EQ(reinterpret_cast<HGDIOBJ>(SendMessageW(Control(id), WM_GETFONT, 0, 0)), stock) << id;
}

TEST_F(MainWindowTest, ButtonClickQueuesOneEventWithItsId)
{
    SendMessageW(Control(BrowseButton), BM_CLICK, 0, 0);
    Events events = Drain();
    EXPECT_EQ(Count(events, EventControl, BrowseButton), 1);
    SendMessageW(Control(FlashButton), BM_CLICK, 0, 0);
    events = Drain();
    EXPECT_EQ(Count(events, EventControl, FlashButton), 1);
}

TEST_F(MainWindowTest, DisabledFlashButtonRaisesNothing)
{
    DisableControl(FlashButton, true);
    EXPECT_FALSE(IsWindowEnabled(Control(FlashButton)));
    SendMessageW(Control(FlashButton), BM_CLICK, 0, 0);
    ClickAtCentre(Control(FlashButton));
    EXPECT_EQ(Count(Drain(), EventControl, FlashButton), 0);

    DisableControl(FlashButton, false);
    ClickAtCentre(Control(FlashButton));
    EXPECT_EQ(Count(Drain(), EventControl, FlashButton), 1);
}

TEST_F(MainWindowTest, EventsComeOutInOrder)
{
    SendMessageW(Control(BrowseButton), BM_CLICK, 0, 0);
    SendMessageW(Control(FlashButton), BM_CLICK, 0, 0);
    PostMessageW(Main(), WM_CLOSE, 0, 0);
    Events events = Drain();
    Events wanted = {{EventControl, BrowseButton}, {EventControl, FlashButton}, {EventCloseRequest, -1}};
    Events relevant;
    for (const auto& e : events)
        if (e.first == EventCloseRequest || e.second == BrowseButton || e.second == FlashButton)
            relevant.push_back(e);
    EXPECT_EQ(relevant, wanted);
}

TEST_F(MainWindowTest, CloseRequestLeavesTheWindowOnScreen)
{
    for (UINT message : {static_cast<UINT>(WM_SYSCOMMAND), static_cast<UINT>(WM_CLOSE)}) {
        PostMessageW(Main(), message, message == WM_SYSCOMMAND ? SC_CLOSE : 0, 0);
        EXPECT_EQ(Count(Drain(), EventCloseRequest, -1), 1) << message;
        EXPECT_TRUE(IsWindow(Main()));
        EXPECT_TRUE(IsWindowVisible(Main()));
    }
}

TEST_F(MainWindowTest, LogLinesAreSeparatedByOneBreak)
{
    ClearItems(LogView);
    EXPECT_EQ(GetControlText(LogView), L"");
    AppendItem(LogView, L"Не найден HEX файл");
    EXPECT_EQ(GetControlText(LogView), L"Не найден HEX файл");
    AppendItem(LogView, L"two");
    AppendItem(LogView, L"three");
    std::wstring text = GetControlText(LogView);
    EXPECT_TRUE(text == L"Не найден HEX файл\r\ntwo\r\nthree" || text == L"Не найден HEX файл\rtwo\rthree")
        << text.size();
    ClearItems(LogView);
    AppendItem(LogView, L"again");
    EXPECT_EQ(GetControlText(LogView), L"again");
}

TEST_F(MainWindowTest, ComboListAndFieldAreSeparate)
{
    SetControlText(PortCombo, L"COM25");
    AppendItem(PortCombo, L"COM2");
    AppendItem(PortCombo, L"COM1");
    EXPECT_EQ(GetControlText(PortCombo), L"COM25");
    EXPECT_EQ(SendMessageW(Control(PortCombo), CB_GETCOUNT, 0, 0), 2);
    wchar_t second[16] = L"";
    SendMessageW(Control(PortCombo), CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(second));
    EXPECT_STREQ(second, L"COM1");  // appended, not sorted
    SendMessageW(Control(PortCombo), CB_RESETCONTENT, 0, 0);
}

TEST_F(MainWindowTest, ComboHeightsFollowTheVisualStyles)
{
    RECT closed;
    GetWindowRect(Control(PortCombo), &closed);
    EXPECT_EQ(closed.bottom - closed.top, 20);
    // Dropped, the list shows all twenty ports at once (version 6 sizes it by its visible items).
    SendMessageW(Control(PortCombo), CB_RESETCONTENT, 0, 0);
    for (int n = 1; n <= 20; ++n)
        AppendItem(PortCombo, L"COM" + std::to_wstring(n));
    SetActiveWindow(Main());
    SendMessageW(Control(PortCombo), CB_SHOWDROPDOWN, TRUE, 0);
    COMBOBOXINFO info = {};
    info.cbSize = sizeof info;
    GetComboBoxInfo(Control(PortCombo), &info);
    RECT list;
    GetClientRect(info.hwndList, &list);
    int itemHeight = static_cast<int>(SendMessageW(info.hwndList, LB_GETITEMHEIGHT, 0, 0));
    SendMessageW(Control(PortCombo), CB_SHOWDROPDOWN, FALSE, 0);
    Drain();
    EXPECT_GE(list.bottom - list.top, 20 * itemHeight);
    // Wine runs with themes on: visual styles are active, so the log has no client edge.
    EXPECT_FALSE(GetWindowLongW(Control(LogView), GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
}

TEST_F(MainWindowTest, FocusComesBackAfterDeactivation)
{
    SetFocus(Control(FileField));
    HWND other = CreateWindowExW(0, L"Static", L"other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 100, 100,
                                 nullptr, nullptr, nullptr, nullptr);
    SetActiveWindow(other);
    Drain();
    EXPECT_NE(GetFocus(), Control(FileField));
    SetActiveWindow(Main());
    Drain();
    EXPECT_EQ(GetFocus(), Control(FileField));
    DestroyWindow(other);
    Drain();
}

TEST_F(MainWindowTest, DisabledFocusedButtonGetsTheFocusBack)
{
    SetActiveWindow(Main());
    SetFocus(Control(FlashButton));
    DisableControl(FlashButton, true);
    EXPECT_NE(GetFocus(), Control(FlashButton));
    DisableControl(FlashButton, false);
    EXPECT_EQ(GetFocus(), Control(FlashButton));
}

}  // namespace
