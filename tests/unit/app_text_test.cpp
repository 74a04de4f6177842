// The shell's pure logic: the Tab walk, the centring, the file dialog's text work and the program's folder.
#include <gtest/gtest.h>

#include <string>

#include "app/chooser_text.h"
#include "app/tab_order.h"
#include "app/window_layout.h"
#include "platform/paths.h"

namespace {

// The six controls: FileField, BrowseButton, PortLabel (never a stop), PortCombo, FlashButton, LogView.
struct TabCase {
    const char* what;
    bool flashEnabled;
    int current;
    bool backward;
    int expected;
};

TEST(TabOrder, WalksCreationOrderWrapsAndSkips)
{
    const TabCase cases[] = {
        {"forward from the field", true, 0, false, 1},
        {"forward skips the label", true, 1, false, 3},
        {"forward from the combo", true, 3, false, 4},
        {"forward wraps", true, 5, false, 0},
        {"backward wraps", true, 0, true, 5},
        {"backward skips the label", true, 3, true, 1},
        {"nothing focused, forward", true, -1, false, 0},
        {"nothing focused, backward", true, -1, true, 5},
        {"disabled button skipped forward", false, 3, false, 5},
        {"disabled button skipped backward", false, 5, true, 3},
        {"focus on the disabled button itself", false, 4, false, 5},
        {"focus on the label", true, 2, true, 1},
    };
    for (const TabCase& c : cases) {
        bool eligible[6] = {true, true, false, true, c.flashEnabled, true};
        EXPECT_EQ(NextTabStop(eligible, 6, c.current, c.backward), c.expected) << c.what;
    }
}

TEST(TabOrder, NoEligibleStop)
{
    bool none[3] = {false, false, false};
    EXPECT_EQ(NextTabStop(none, 3, 1, false), -1);
    EXPECT_EQ(NextTabStop(none, 0, -1, true), -1);
    bool one[3] = {false, true, false};
    EXPECT_EQ(NextTabStop(one, 3, 1, false), 1);  // the only stop keeps the focus
}

TEST(WindowLayout, CentresButNeverPastTheTopLeft)
{
    struct {
        int outer, screen, expected;
    } cases[] = {{390, 1024, 317}, {391, 1024, 316}, {1024, 1024, 0}, {1200, 1024, 0}, {0, 800, 400}};
    for (const auto& c : cases)
        EXPECT_EQ(CentredOrigin(c.outer, c.screen), c.expected) << c.outer << " on " << c.screen;
}

TEST(ChooserText, FilterListHasNulsAndEndsInADoubleNul)
{
    std::wstring list = BuildFilterList(L"HEX-файлы|*.hex|Все файлы|*.*");
    std::wstring expected(L"HEX-файлы\0*.hex\0Все файлы\0*.*\0\0", 31);
    EXPECT_EQ(list, expected);
    EXPECT_EQ(list.c_str()[list.size()], L'\0');  // the third NUL: the string's own terminator
}

TEST(ChooserText, SplitsThePresetAtItsLastBackslash)
{
    const std::wstring longName(300, L'a');
    struct {
        std::wstring preset, folder, name;
    } cases[] = {
        {L"C:\\fw\\blink.hex", L"C:\\fw", L"blink.hex"},
        {L"D:\\blink.hex", L"D:", L"blink.hex"},
        {L"blink.hex", L"", L"blink.hex"},
        {L"C:\\fw\\*.hex", L"C:\\fw", L""},        // a pattern is no name to propose
        {L"C:/fw/blink.hex", L"", L""},            // no backslash: the whole text, with ":" and "/"
        {L"", L"", L""},
        {L"\\blink.hex", L"", L""},                // a leading backslash does not split
        {L"C:\\fw\\", L"C:\\fw", L""},
        {L"C:\\fw\\" + longName, L"C:\\fw", std::wstring(259, L'a')},
        {L"C:\\fw\\a\"b.hex", L"C:\\fw", L""},
    };
    for (const auto& c : cases) {
        PresetSplit split = SplitPreset(c.preset);
        EXPECT_EQ(split.folder, c.folder) << std::string(c.preset.begin(), c.preset.end());
        EXPECT_EQ(split.name, c.name) << std::string(c.preset.begin(), c.preset.end());
    }
}

TEST(ChooserText, NameCheckRefusesEveryForbiddenCharacter)
{
    EXPECT_TRUE(ProposedNameUsable(L"blink.hex"));
    EXPECT_TRUE(ProposedNameUsable(L"прошивка v2 (final).hex"));
    EXPECT_FALSE(ProposedNameUsable(L""));
    for (wchar_t bad : std::wstring(L"\"\\/:*?<>|\x01\x1f\t")) {
        std::wstring name = L"a";
        name += bad;
        EXPECT_FALSE(ProposedNameUsable(name)) << static_cast<int>(bad);
    }
}

TEST(ProgramFolder, UndoesTheLongPathPrefix)
{
    struct {
        std::wstring module, folder;
    } cases[] = {
        {L"C:\\Tools\\Tarvex\\Tarvex.exe", L"C:\\Tools\\Tarvex\\"},
        {L"\\\\?\\C:\\Tools\\Tarvex.exe", L"C:\\Tools\\"},
        {L"\\\\?\\UNC\\server\\share\\Tarvex.exe", L"\\\\server\\share\\"},
        {L"\\\\server\\share\\Tarvex.exe", L"\\\\server\\share\\"},
        {L"C:/Tools/Tarvex.exe", L"C:/Tools/"},
        {L"Tarvex.exe", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProgramFolderOf(c.module), c.folder);
}

}  // namespace
