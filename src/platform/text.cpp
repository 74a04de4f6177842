// UTF-8 and UTF-16 conversions through the system's converters, without the flag that rejects bad input.
#include "platform/text.h"

#include <windows.h>

std::string Utf8FromWide(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int units = static_cast<int>(text.size());
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return std::string();
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), units, &out[0], bytes, nullptr, nullptr);
    return out;
}

std::wstring WideFromUtf8(const char* text, size_t length)
{
    if (length == 0)
        return std::wstring();
    int bytes = static_cast<int>(length);
    int units = MultiByteToWideChar(CP_UTF8, 0, text, bytes, nullptr, 0);
    if (units <= 0)
        return std::wstring();
    std::wstring out(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, bytes, &out[0], units);
    return out;
}
