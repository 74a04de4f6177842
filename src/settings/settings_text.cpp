// Reading the lines of Setting.ini, finding a key in them, and composing the file's bytes.
#include "settings/settings_text.h"

#include <cstdlib>
#include <cstring>

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool IsLineEnd(char c)
{
    return c == '\r' || c == '\n';
}

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

SettingsValue TrimmedValue(const char* text, size_t length)
{
    while (length > 0 && IsBlank(text[0])) {
        ++text;
        --length;
    }
    while (length > 0 && IsBlank(text[length - 1]))
        --length;
    SettingsValue value = {true, text, length};
    return value;
}

bool HasUtf8Bom(const char* data, size_t length)
{
    return length >= 3 && static_cast<unsigned char>(data[0]) == 0xEF &&
           static_cast<unsigned char>(data[1]) == 0xBB && static_cast<unsigned char>(data[2]) == 0xBF;
}

// One byte for ASCII, two for each byte from 0x80.
size_t Utf8LengthOfLatin1(const char* data, size_t length)
{
    size_t bytes = length;
    for (size_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(data[i]) >= 0x80)
            ++bytes;
    return bytes;
}

void Latin1ToUtf8(const char* data, size_t length, char* out)
{
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c < 0x80) {
            *out++ = static_cast<char>(c);
        } else {
            *out++ = static_cast<char>(0xC0 | (c >> 6));
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
}

}  // namespace

bool DecodeSettingsBytes(char* bytes, size_t length, SettingsText* out)
{
    if (HasUtf8Bom(bytes, length)) {
        out->buffer = bytes;
        out->text = bytes + 3;
        out->length = length - 3;
        return true;
    }
    size_t utf8Length = Utf8LengthOfLatin1(bytes, length);
    if (utf8Length == length) {  // plain ASCII reads the same either way
        out->buffer = bytes;
    } else {
        out->buffer = static_cast<char*>(std::malloc(utf8Length));
        if (!out->buffer) {
            std::free(bytes);
            return false;
        }
        Latin1ToUtf8(bytes, length, out->buffer);
        std::free(bytes);
    }
    out->text = out->buffer;
    out->length = utf8Length;
    return true;
}

bool NextSettingsLine(const char* text, size_t length, size_t* pos, SettingsLine* line)
{
    size_t i = *pos;
    while (i < length) {
        size_t start = i;
        while (i < length && !IsLineEnd(text[i]))
            ++i;
        size_t end = i;
        while (i < length && IsLineEnd(text[i]))
            ++i;

        while (start < end && IsBlank(text[start]))
            ++start;
        if (start == end || text[start] == ';')
            continue;

        if (text[start] == '[') {
            const char* name = text + start + 1;
            size_t rest = end - start - 1;
            const void* close = rest > 0 ? std::memchr(name, ']', rest) : nullptr;
            line->kind = SettingsGroupLine;
            line->name = name;
            line->nameLength = close ? static_cast<size_t>(static_cast<const char*>(close) - name) : rest;
            line->value = nullptr;
            line->valueLength = 0;
            *pos = i;
            return true;
        }

        const char* key = text + start;
        const void* equals = std::memchr(key, '=', end - start);
        size_t keyLength = equals ? static_cast<size_t>(static_cast<const char*>(equals) - key) : end - start;
        size_t valueStart = equals ? start + keyLength + 1 : end;
        while (keyLength > 0 && IsBlank(key[keyLength - 1]))
            --keyLength;
        while (valueStart < end && IsBlank(text[valueStart]))
            ++valueStart;
        line->kind = SettingsKeyLine;
        line->name = key;
        line->nameLength = keyLength;
        line->value = text + valueStart;
        line->valueLength = end - valueStart;
        *pos = i;
        return true;
    }
    *pos = i;
    return false;
}

bool SettingsKeysEqual(const char* a, size_t aLength, const char* b, size_t bLength)
{
    if (aLength != bLength)
        return false;
    for (size_t i = 0; i < aLength; ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    return true;
}

SettingsValue FindSettingsValue(const char* text, size_t length, const std::string& key)
{
    // Walked lazily, line by line: a huge file never turns into a huge list of entries.
    size_t pos = 0;
    SettingsLine line;
    while (NextSettingsLine(text, length, &pos, &line)) {
        if (line.kind == SettingsGroupLine)
            break;
        if (SettingsKeysEqual(line.name, line.nameLength, key.data(), key.size()))
            return TrimmedValue(line.value, line.valueLength);
    }
    SettingsValue none = {false, nullptr, 0};
    return none;
}

SettingsValue FindSettingsEntry(const std::vector<SettingsEntry>& entries, const std::string& key)
{
    for (const SettingsEntry& entry : entries)
        if (SettingsKeysEqual(entry.key.data(), entry.key.size(), key.data(), key.size()))
            return TrimmedValue(entry.value.data(), entry.value.size());
    SettingsValue none = {false, nullptr, 0};
    return none;
}

void SetSettingsEntry(std::vector<SettingsEntry>* entries, const std::string& key, const std::string& value)
{
    for (SettingsEntry& entry : *entries) {
        if (SettingsKeysEqual(entry.key.data(), entry.key.size(), key.data(), key.size())) {
            entry.value = value;
            return;
        }
    }
    SettingsEntry entry;
    entry.key = key;
    entry.value = value;
    entries->push_back(entry);
}

size_t ComposedSettingsSize(const std::vector<SettingsEntry>& entries)
{
    size_t size = 5;
    for (const SettingsEntry& entry : entries)
        size += entry.key.size() + entry.value.size() + 5;
    return size;
}

void ComposeSettings(const std::vector<SettingsEntry>& entries, char* out)
{
    static const char head[] = {'\xEF', '\xBB', '\xBF', '\r', '\n'};
    std::memcpy(out, head, sizeof head);
    out += sizeof head;
    for (const SettingsEntry& entry : entries) {
        std::memcpy(out, entry.key.data(), entry.key.size());
        out += entry.key.size();
        std::memcpy(out, " = ", 3);
        out += 3;
        std::memcpy(out, entry.value.data(), entry.value.size());
        out += entry.value.size();
        std::memcpy(out, "\r\n", 2);
        out += 2;
    }
}
