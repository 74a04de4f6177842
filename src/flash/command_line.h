// The programmer's parameter string and command line, and the port's device path (no Win32 needed).
#pragma once

#include <string>

// A double quote, the path unchanged, a double quote.
std::wstring QuotedPath(const std::wstring& path);
// The HEX path as the programmer is given it: the file the check examined, without trailing "\" or "/"
// (which the check ignores and which, before the closing quote, would escape it). "" for a path holding a
// double quote: no Windows file name has one, and between quotes it would split the argument.
std::wstring ProgrammerFilePath(const std::wstring& path);
// -v -p atmega32u4 -c avr109 -P <port> -b 57600 -D -U flash:w:<quotedPath>:i
std::wstring ProgrammerParameters(const std::wstring& port, const std::wstring& quotedPath);
// The program name in double quotes (unless it starts with one), then a space and the parameters if any.
std::wstring ProgrammerCommandLine(const std::wstring& program, const std::wstring& parameters);
// "\\.\" and at most the first 59 units of the port name.
std::wstring PortDevicePath(const std::wstring& portName);
