// Any bytes as Setting.ini: the lazy lookup must agree with a plain line-by-line reading, and saves must read back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "settings/settings_text.h"

namespace {

struct PlainLine {
    bool group;
    std::string key;
    std::string value;
};

// The line rules written the obvious way, with whole strings, to compare against.
std::vector<PlainLine> PlainLines(const std::string& text)
{
    std::vector<PlainLine> lines;
    size_t i = 0;
    while (i < text.size()) {
        size_t end = text.find_first_of("\r\n", i);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(i, end - i);
        i = text.find_first_not_of("\r\n", end);
        if (i == std::string::npos)
            i = text.size();
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == ';')
            continue;
        line.erase(0, start);
        PlainLine plain;
        plain.group = line[0] == '[';
        if (!plain.group) {
            size_t equals = line.find('=');
            plain.key = line.substr(0, equals);
            plain.key.erase(plain.key.find_last_not_of(" \t") + 1);
            if (equals != std::string::npos) {
                plain.value = line.substr(equals + 1);
                plain.value.erase(0, plain.value.find_first_not_of(" \t") == std::string::npos
                                         ? plain.value.size()
                                         : plain.value.find_first_not_of(" \t"));
            }
        }
        lines.push_back(plain);
    }
    return lines;
}

bool SameKey(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = (a[i] >= 'A' && a[i] <= 'Z') ? static_cast<char>(a[i] + 32) : a[i];
        char y = (b[i] >= 'A' && b[i] <= 'Z') ? static_cast<char>(b[i] + 32) : b[i];
        if (x != y)
            return false;
    }
    return true;
}

bool PlainLookup(const std::vector<PlainLine>& lines, const std::string& key, std::string* value)
{
    for (const PlainLine& line : lines) {
        if (line.group)
            return false;
        if (SameKey(line.key, key)) {
            size_t first = line.value.find_first_not_of(" \t");
            *value = first == std::string::npos
                         ? std::string()
                         : line.value.substr(first, line.value.find_last_not_of(" \t") - first + 1);
            return true;
        }
    }
    return false;
}

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

std::string Found(const SettingsValue& value)
{
    return std::string(value.text, value.length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    char* bytes = static_cast<char*>(std::malloc(size ? size : 1));
    std::memcpy(bytes, data, size);
    SettingsText text;
    if (!DecodeSettingsBytes(bytes, size, &text))
        return 0;
    const std::string utf8(text.text, text.length);

    // Without a byte order mark every byte is one code point: decoding the UTF-8 back gives the input.
    if (!(size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0)) {
        std::string back;
        for (size_t i = 0; i < utf8.size(); ++i) {
            unsigned char c = static_cast<unsigned char>(utf8[i]);
            if (c < 0x80) {
                back += static_cast<char>(c);
            } else {
                Check(i + 1 < utf8.size() && (c == 0xC2 || c == 0xC3));
                back += static_cast<char>(((c & 0x1F) << 6) | (utf8[++i] & 0x3F));
            }
        }
        Check(back == std::string(reinterpret_cast<const char*>(data), size));
    }

    // The lazy walk and the plain reading find the same values, for the program's keys and every key present.
    std::vector<PlainLine> lines = PlainLines(utf8);
    std::vector<std::string> keys = {"Path", "Port", "", "path"};
    for (const PlainLine& line : lines)
        if (!line.group && keys.size() < 64)
            keys.push_back(line.key);
    for (const std::string& key : keys) {
        std::string expected;
        bool found = PlainLookup(lines, key, &expected);
        SettingsValue value = FindSettingsValue(text.text, text.length, key);
        Check(value.found == found);
        if (found) {
            Check(value.text >= text.text && value.text + value.length <= text.text + text.length);
            Check(Found(value) == expected);
        }
    }

    // What the program would save from the keys found reads back the same.
    std::vector<SettingsEntry> entries;
    for (const PlainLine& line : lines) {
        if (line.group)
            break;
        bool writable = !line.key.empty() && line.key.find_first_of("=\r\n") == std::string::npos &&
                        line.key[0] != ' ' && line.key[0] != '\t' && line.key[0] != ';' && line.key[0] != '[' &&
                        line.value.find_first_of("\r\n") == std::string::npos;
        if (writable && !FindSettingsEntry(entries, line.key).found)
            SetSettingsEntry(&entries, line.key, line.value);
    }
    std::string saved(ComposedSettingsSize(entries), '\0');
    ComposeSettings(entries, &saved[0]);
    char* savedBytes = static_cast<char*>(std::malloc(saved.size()));
    std::memcpy(savedBytes, saved.data(), saved.size());
    SettingsText reread;
    Check(DecodeSettingsBytes(savedBytes, saved.size(), &reread));
    for (const SettingsEntry& entry : entries) {
        SettingsValue written = FindSettingsEntry(entries, entry.key);
        SettingsValue value = FindSettingsValue(reread.text, reread.length, entry.key);
        Check(value.found && Found(value) == Found(written));
    }
    std::free(reread.buffer);
    std::free(text.buffer);
    return 0;
}
