// Composing the programmer's parameter string and command line, and the probe's device path.
#include "flash/command_line.h"

std::wstring QuotedPath(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

std::wstring ProgrammerFilePath(const std::wstring& path)
{
    if (path.find(L'"') != std::wstring::npos)
        return std::wstring();
    size_t end = path.find_last_not_of(L"\\/");
    return end == std::wstring::npos ? std::wstring() : path.substr(0, end + 1);
}

std::wstring ProgrammerParameters(const std::wstring& port, const std::wstring& quotedPath)
{
    return L"-v -p atmega32u4 -c avr109 -P " + port + L" -b 57600 -D -U flash:w:" + quotedPath + L":i";
}

std::wstring ProgrammerCommandLine(const std::wstring& program, const std::wstring& parameters)
{
    std::wstring line = (!program.empty() && program[0] == L'"') ? program : L"\"" + program + L"\"";
    if (!parameters.empty())
        line += L" " + parameters;
    return line;
}

std::wstring PortDevicePath(const std::wstring& portName)
{
    const size_t maxNameUnits = 59;  // the device path buffer holds 64 units with its NUL
    return L"\\\\.\\" + portName.substr(0, maxNameUnits);
}
