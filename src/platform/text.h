// UTF-8 and UTF-16 conversions through the system's converters (no flags: bad input becomes U+FFFD).
#pragma once

#include <cstddef>
#include <string>

std::string Utf8FromWide(const std::wstring& text);
std::wstring WideFromUtf8(const char* text, size_t length);
