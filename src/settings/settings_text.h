// The bytes of Setting.ini without Win32: reading its lines, finding a key, composing the file.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// One key line as the program writes it: key and value in UTF-8.
struct SettingsEntry {
    std::string key;
    std::string value;
};

// One line of the file that counts: a key line (name is the key) or a group line (name is the group's name).
enum SettingsLineKind { SettingsKeyLine, SettingsGroupLine };
struct SettingsLine {
    SettingsLineKind kind;
    const char* name;
    size_t nameLength;
    const char* value;  // key lines only: after the first "=", leading blanks removed, trailing ones kept
    size_t valueLength;
};

// A value found in the text; points into that text.
struct SettingsValue {
    bool found;
    const char* text;
    size_t length;
};

// Bytes a file above this size holds are not read: far beyond two hand-edited lines, small enough to convert
// and search in a 32-bit process without running out of memory.
const size_t kMaxSettingsFileBytes = 16u * 1024u * 1024u;

// The file's text as UTF-8; buffer is malloc'd and owns it.
struct SettingsText {
    char* buffer;
    const char* text;
    size_t length;
};

// Takes over bytes (malloc'd): after a UTF-8 byte order mark the rest as it is, otherwise every byte read as
// ISO-8859-1. False, with bytes freed, when memory for the conversion runs out.
bool DecodeSettingsBytes(char* bytes, size_t length, SettingsText* out);

// The next line that counts from *pos on; skips blank and comment lines, moves *pos past the line and its
// line ends. False when the text has no such line left.
bool NextSettingsLine(const char* text, size_t length, size_t* pos, SettingsLine* line);
// Keys compare equal when the letters A-Z match their lower-case forms and every other byte is the same.
bool SettingsKeysEqual(const char* a, size_t aLength, const char* b, size_t bLength);
// The first key line above the first group line whose key equals key; its value without blanks at either end.
SettingsValue FindSettingsValue(const char* text, size_t length, const std::string& key);
// The same lookup over entries set by SetSettingsEntry.
SettingsValue FindSettingsEntry(const std::vector<SettingsEntry>& entries, const std::string& key);
// Replaces the value of the first entry whose key equals key, or adds the entry at the end.
void SetSettingsEntry(std::vector<SettingsEntry>* entries, const std::string& key, const std::string& value);

// Size of the composed file: 5 bytes, and key length + value length + 5 for every entry.
size_t ComposedSettingsSize(const std::vector<SettingsEntry>& entries);
// Fills out (ComposedSettingsSize bytes): EF BB BF, CR LF, then key, " = ", value, CR LF for every entry.
void ComposeSettings(const std::vector<SettingsEntry>& entries, char* out);
