// The exact text of the programmer's command line and of the probe's device path, for the inputs that go wrong.
#include <gtest/gtest.h>

#include <string>

#include "flash/command_line.h"

namespace {

struct CommandLineCase {
    const char* what;
    std::wstring program;
    std::wstring port;
    std::wstring path;
    bool withParameters;
    std::wstring expected;
};

TEST(ProgrammerCommandLine, IsComposedPieceByPiece)
{
    const CommandLineCase cases[] = {
        {"the usual board", L"avrdude", L"COM3", L"C:\\fw\\blink.hex", true,
         L"\"avrdude\" -v -p atmega32u4 -c avr109 -P COM3 -b 57600 -D -U flash:w:\"C:\\fw\\blink.hex\":i"},
        {"a path with spaces stays one quoted argument", L"avrdude", L"COM12", L"C:\\My Files\\fw 2.hex", true,
         L"\"avrdude\" -v -p atmega32u4 -c avr109 -P COM12 -b 57600 -D -U flash:w:\"C:\\My Files\\fw 2.hex\":i"},
        {"a port with a space is not quoted", L"avrdude", L"COM 3", L"a.hex", true,
         L"\"avrdude\" -v -p atmega32u4 -c avr109 -P COM 3 -b 57600 -D -U flash:w:\"a.hex\":i"},
        {"non-ASCII path units pass unchanged", L"avrdude", L"COM1", L"D:\\прошивки\\мигалка.hex", true,
         L"\"avrdude\" -v -p atmega32u4 -c avr109 -P COM1 -b 57600 -D -U flash:w:\"D:\\прошивки\\мигалка.hex\":i"},
        {"a program already in quotes is used as it is", L"\"C:\\tools\\avrdude.exe\"", L"COM3", L"b.hex", true,
         L"\"C:\\tools\\avrdude.exe\" -v -p atmega32u4 -c avr109 -P COM3 -b 57600 -D -U flash:w:\"b.hex\":i"},
        {"no parameters means no trailing space", L"avrdude", L"", L"", false, L"\"avrdude\""},
        {"an empty program name is still quoted", L"", L"", L"", false, L"\"\""},
    };
    for (const CommandLineCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::wstring parameters = c.withParameters ? ProgrammerParameters(c.port, QuotedPath(c.path)) : L"";
        EXPECT_EQ(ProgrammerCommandLine(c.program, parameters), c.expected);
    }
}

TEST(ProgrammerFilePath, IsTheCheckedFileAndCannotLeaveItsQuotes)
{
    struct {
        std::wstring typed, given;
    } cases[] = {
        {L"C:\\fw\\blink.hex", L"C:\\fw\\blink.hex"},
        {L"blink.hex\\", L"blink.hex"},      // a backslash before the closing quote would escape it
        {L"blink.hex\\/\\", L"blink.hex"},
        {L"C:\\my fw\\blink.hex", L"C:\\my fw\\blink.hex"},
        {L"a\"b.hex", L""},                  // a quote would split the argument
        {L"blink.hex\" -e -U \"flash:w:x.hex", L""},
        {L"\\", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProgrammerFilePath(c.typed), c.given) << std::string(c.typed.begin(), c.typed.end());
}

struct DevicePathCase {
    const char* what;
    std::wstring name;
    std::wstring expected;
};

TEST(PortDevicePath, AlwaysPrefixesAndCutsAt59Units)
{
    const std::wstring name59(59, L'Ж');
    const DevicePathCase cases[] = {
        {"a one-digit port", L"COM1", L"\\\\.\\COM1"},
        {"two digits need the prefix too", L"COM10", L"\\\\.\\COM10"},
        {"a typed high number", L"COM256", L"\\\\.\\COM256"},
        {"an existing prefix is not recognised", L"\\\\.\\COM3", L"\\\\.\\\\\\.\\COM3"},
        {"59 units fit whole", name59, L"\\\\.\\" + name59},
        {"60 units lose the last", name59 + L"X", L"\\\\.\\" + name59},
        {"a long name is cut at 59", name59 + std::wstring(200, L'Y'), L"\\\\.\\" + name59},
        {"an empty name leaves the prefix", L"", L"\\\\.\\"},
    };
    for (const DevicePathCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::wstring device = PortDevicePath(c.name);
        EXPECT_EQ(device, c.expected);
        EXPECT_LE(device.size(), 63u);  // the 64-unit device buffer with its NUL
    }
}

}  // namespace
