// Reading hand-made Setting.ini texts and composing the bytes the program writes, without Win32.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "settings/settings_text.h"

namespace {

const char kAbsent[] = "<default>";

// The file's bytes decoded as OpenSettings does; owns the decoded buffer.
struct DecodedFile {
    SettingsText text;
    explicit DecodedFile(const std::string& bytes)
    {
        char* copy = static_cast<char*>(std::malloc(bytes.size() + 1));
        std::memcpy(copy, bytes.data(), bytes.size());
        bool ok = DecodeSettingsBytes(copy, bytes.size(), &text);
        EXPECT_TRUE(ok);
    }
    ~DecodedFile() { std::free(text.buffer); }
    std::string Utf8() const { return std::string(text.text, text.length); }
    std::string Lookup(const std::string& key) const
    {
        SettingsValue value = FindSettingsValue(text.text, text.length, key);
        return value.found ? std::string(value.text, value.length) : std::string(kAbsent);
    }
};

struct LookupCase {
    const char* name;
    std::string file;
    const char* key;
    const char* expected;  // kAbsent: the caller's default is used
};

const std::string kBom = "\xEF\xBB\xBF";

class SettingsLookup : public testing::TestWithParam<LookupCase> {};

TEST_P(SettingsLookup, FindsTheValueAHandMadeFileGives)
{
    const LookupCase& c = GetParam();
    DecodedFile file(c.file);
    EXPECT_EQ(file.Lookup(c.key), c.expected) << c.name;
}

const LookupCase kLookupCases[] = {
    {"as written", kBom + "\r\nPath = C:\\fw\\blink.hex\r\nPort = COM3\r\n", "Port", "COM3"},
    {"upper-case key", "PATH = a\r\n", "Path", "a"},
    {"lower-case key, no blanks", "path=a", "Path", "a"},
    {"only A-Z fold: E9 vs C9 differ", kBom + "Port\xC3\xA9 = x", "Port\xC3\x89", kAbsent},
    {"key with a blank inside", "Pa th = x\r\n", "Path", kAbsent},
    {"first of two wins", "Path = a\r\nPATH = b\r\n", "Path", "a"},
    {"below the first group line", "[Main]\r\nPath = a\r\n", "Path", kAbsent},
    {"above the first group line", "Port = COM3\r\n[Main]\r\nPath = a\r\n", "Port", "COM3"},
    {"indented group line", "  \t[x]\r\nPath = a\r\n", "Path", kAbsent},
    {"bare [ is a group line", "[\r\nPath = a\r\n", "Path", kAbsent},
    {"comment with =", "; Path = a\r\nPath = b\r\n", "Path", "b"},
    {"indented comment", " \t;Path = a\r\n", "Path", kAbsent},
    {"# is no comment", "#Path = a\r\nPath = b\r\n", "Path", "b"},
    {"LF line ends", "Port = x\nPath = a\n", "Path", "a"},
    {"CR line ends", "Port = x\rPath = a\r", "Path", "a"},
    {"blank lines of every kind", "\r\n\n\r\r\n  \t\r\nPath = a", "Path", "a"},
    {"line without = is an empty value", "Path\r\nPort = COM3\r\n", "Path", ""},
    {"line without = leaves the next line", "Path\rPort = COM3\r", "Port", "COM3"},
    {"= inside the value", "Path = a=b = c\r\n", "Path", "a=b = c"},
    {"blanks around key and value", "Path \t=\t  a b \t \r\n", "Path", "a b"},
    {"empty value is not the default", "Port = \r\n", "Port", ""},
    {"empty value at the end of the file", "Port =", "Port", ""},
    {"; and quotes belong to the value", "Path = \"C:\\a;b\" ;x\r\n", "Path", "\"C:\\a;b\" ;x"},
    {"empty file", "", "Port", kAbsent},
    {"only the byte order mark", kBom, "Port", kAbsent},
    {"byte order mark without the empty line", kBom + "Port = COM7", "Port", "COM7"},
    {"no BOM: E9 is U+00E9", "Path = caf\xE9\r\n", "Path", "caf\xC3\xA9"},
    {"no BOM: CF is U+00CF, not Cyrillic", "Path = \xCF\r\n", "Path", "\xC3\x8F"},
    {"half a BOM is ISO-8859-1 text", "\xEF\xBBPath = x\r\n", "Path", kAbsent},
    {"half a BOM, later lines still read", "\xEF\xBB\r\nPath = x\r\n", "Path", "x"},
    {"malformed UTF-8 after a BOM stays raw", kBom + "Path = caf\xE9\r\n", "Path", "caf\xE9"},
    {"UTF-16 file", std::string("\xFF\xFEP\0a\0t\0h\0 \0=\0 \0x\0\r\0\n\0", 22), "Path", kAbsent},
};

INSTANTIATE_TEST_SUITE_P(HandMadeFiles, SettingsLookup, testing::ValuesIn(kLookupCases));

TEST(SettingsDecode, EveryByteWithoutBomIsItsOwnCodePoint)
{
    for (int b = 1; b < 256; ++b) {
        DecodedFile file(std::string(1, static_cast<char>(b)));
        std::string expected;
        if (b < 0x80) {
            expected = std::string(1, static_cast<char>(b));
        } else {
            expected += static_cast<char>(0xC0 | (b >> 6));
            expected += static_cast<char>(0x80 | (b & 0x3F));
        }
        EXPECT_EQ(file.Utf8(), expected) << "byte " << b;
    }
}

TEST(SettingsLines, WalksKeyAndGroupLinesAsTheyCount)
{
    const std::string text = "  a = 1 \t\r\n;c\r\n[ g 1 ] tail\r\nb\n[open\r\nc== 2";
    struct Expected {
        SettingsLineKind kind;
        const char* name;
        const char* value;
    } expected[] = {
        {SettingsKeyLine, "a", "1 \t"},
        {SettingsGroupLine, " g 1 ", ""},
        {SettingsKeyLine, "b", ""},
        {SettingsGroupLine, "open", ""},
        {SettingsKeyLine, "c", "= 2"},
    };
    size_t pos = 0;
    SettingsLine line;
    for (const Expected& e : expected) {
        ASSERT_TRUE(NextSettingsLine(text.data(), text.size(), &pos, &line)) << e.name;
        EXPECT_EQ(line.kind, e.kind) << e.name;
        EXPECT_EQ(std::string(line.name, line.nameLength), e.name);
        if (line.kind == SettingsKeyLine) {
            EXPECT_EQ(std::string(line.value, line.valueLength), e.value) << e.name;
        }
    }
    EXPECT_FALSE(NextSettingsLine(text.data(), text.size(), &pos, &line));
}

TEST(SettingsLookupLarge, FilesOfSeveralMegabytesReadWhole)
{
    std::string manyLines;
    while (manyLines.size() < 6u * 1024 * 1024)
        manyLines += "Other" + std::to_string(manyLines.size()) + " = some value\r\n";
    DecodedFile lines(kBom + "\r\n" + manyLines + "Path = last\r\n[g]\r\nPort = hidden\r\n");
    EXPECT_EQ(lines.Lookup("Path"), "last");
    EXPECT_EQ(lines.Lookup("Port"), kAbsent);

    std::string longValue(5u * 1024 * 1024, '\xE9');
    DecodedFile latin1("Port = COM9\r\nPath = " + longValue + "x\r\n");
    std::string value = latin1.Lookup("Path");
    ASSERT_EQ(value.size(), 2 * longValue.size() + 1);
    EXPECT_EQ(value.substr(0, 4), "\xC3\xA9\xC3\xA9");
    EXPECT_EQ(value.back(), 'x');
    EXPECT_EQ(latin1.Lookup("Port"), "COM9");
}

std::string Composed(const std::vector<SettingsEntry>& entries)
{
    std::string bytes(ComposedSettingsSize(entries), '\0');
    ComposeSettings(entries, &bytes[0]);
    return bytes;
}

TEST(SettingsCompose, WritesTheExampleByteForByte)
{
    std::vector<SettingsEntry> entries;
    SetSettingsEntry(&entries, "Path", "C:\\fw\\blink.hex");
    SetSettingsEntry(&entries, "Port", "COM3");
    const unsigned char expected[42] = {
        0xEF, 0xBB, 0xBF, 0x0D, 0x0A,
        0x50, 0x61, 0x74, 0x68, 0x20, 0x3D, 0x20, 0x43, 0x3A, 0x5C, 0x66, 0x77, 0x5C, 0x62, 0x6C, 0x69, 0x6E,
        0x6B, 0x2E, 0x68, 0x65, 0x78, 0x0D, 0x0A,
        0x50, 0x6F, 0x72, 0x74, 0x20, 0x3D, 0x20, 0x43, 0x4F, 0x4D, 0x33, 0x0D, 0x0A,
    };
    EXPECT_EQ(Composed(entries), std::string(reinterpret_cast<const char*>(expected), sizeof expected));
}

TEST(SettingsCompose, EmptyValuesKeepTheSeparatorAndNothingFollows)
{
    std::vector<SettingsEntry> entries;
    EXPECT_EQ(Composed(entries), kBom + "\r\n");
    SetSettingsEntry(&entries, "Path", "");
    SetSettingsEntry(&entries, "Port", "");
    EXPECT_EQ(Composed(entries), kBom + "\r\nPath = \r\nPort = \r\n");
}

TEST(SettingsCompose, SettingAKeyAgainReplacesItsValueInPlace)
{
    std::vector<SettingsEntry> entries;
    SetSettingsEntry(&entries, "Path", "a");
    SetSettingsEntry(&entries, "Port", "COM1");
    SetSettingsEntry(&entries, "PATH", "b");
    EXPECT_EQ(Composed(entries), kBom + "\r\nPath = b\r\nPort = COM1\r\n");
    SettingsValue port = FindSettingsEntry(entries, "port");
    ASSERT_TRUE(port.found);
    EXPECT_EQ(std::string(port.text, port.length), "COM1");
    EXPECT_FALSE(FindSettingsEntry(entries, "Baud").found);
}

TEST(SettingsCompose, WrittenValuesReadBack)
{
    struct Case {
        const char* value;
        const char* readBack;
    } cases[] = {
        {"C:\\fw\\blink.hex", "C:\\fw\\blink.hex"},
        {"C:\\\xD0\xBF\xD1\x80\xD0\xBE\xD1\x88\xD0\xB8\xD0\xB2\xD0\xBA\xD0\xB0\\a.hex",
         "C:\\\xD0\xBF\xD1\x80\xD0\xBE\xD1\x88\xD0\xB8\xD0\xB2\xD0\xBA\xD0\xB0\\a.hex"},
        {"", ""},
        {"a = b", "a = b"},
        {"; [x]", "; [x]"},
        {" \tpadded\t ", "padded"},
        {"COM25", "COM25"},
    };
    for (const Case& c : cases) {
        std::vector<SettingsEntry> entries;
        SetSettingsEntry(&entries, "Path", c.value);
        SetSettingsEntry(&entries, "Port", "COM3");
        DecodedFile file(Composed(entries));
        EXPECT_EQ(file.Lookup("Path"), c.readBack) << c.value;
        EXPECT_EQ(file.Lookup("Port"), "COM3") << c.value;
    }
}

}  // namespace
