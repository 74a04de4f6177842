// Setting.ini: read once at startup, written whole when the program ends through MainWindow.
#pragma once

#include <cstddef>
#include <string>

// Closes any open settings file, then reads and parses the named file; true when it could be opened and read.
bool OpenSettings(const std::wstring& fileName);
// The key's value (trimmed), or defaultValue when the file did not open or has no such key.
std::wstring ReadSetting(const std::wstring& key, const std::wstring& defaultValue);
// Closes any open settings file and starts a new, empty one beside it; false (touching nothing) when the
// file may not be replaced: read-only, hidden, system, a folder, held by another program, or a folder not writable.
bool CreateSettings(const std::wstring& fileName);
// Sets the key's value in memory after CreateSettings; it reaches the file at CloseSettings.
void WriteSetting(const std::wstring& key, const std::wstring& value);
// After CreateSettings: writes what WriteSetting set and replaces the file in one step, or leaves the old file
// as it was when anything fails. Then forgets the file.
void CloseSettings();
// From any thread: from now on this process never replaces the file. On the thread that opened it, it also
// forgets an open settings file without writing anything. For the end of the program.
void AbandonSettings();

// The step that writes the composed bytes into the new file; true only when every byte was written.
typedef bool (*SettingsWriteStep)(void* file, const char* data, size_t length);
// Replaces that step, for tests of a save that fails part way; nullptr restores the real one.
void SetSettingsWriteStep(SettingsWriteStep step);
