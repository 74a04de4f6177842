// The file dialog's text work without Win32: the filter list, the split of the preset, the name check.
#pragma once

#include <string>

// "A|*.a|B|*.b" as the dialog wants it: every "|" a NUL, and the list ends in a double NUL.
std::wstring BuildFilterList(const std::wstring& filter);

struct PresetSplit {
    std::wstring folder;  // the initial folder, possibly empty
    std::wstring name;    // the proposed file name, cut to 259 units, or "" when it is unusable
};
// Splits at the last backslash that is not the first character, and drops a name the dialog cannot take.
PresetSplit SplitPreset(const std::wstring& preset);
// A name without control characters or any of " \ / : * ? < > |, and not empty.
bool ProposedNameUsable(const std::wstring& name);
