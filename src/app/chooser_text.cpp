// The file dialog's filter list, the split of its preset file, and the check of the proposed name.
#include "app/chooser_text.h"

std::wstring BuildFilterList(const std::wstring& filter)
{
    std::wstring list = filter;
    for (wchar_t& c : list)
        if (c == L'|')
            c = L'\0';
    // The string's own terminator and these two make the list end in (at least) a double NUL.
    list.push_back(L'\0');
    list.push_back(L'\0');
    return list;
}

bool ProposedNameUsable(const std::wstring& name)
{
    if (name.empty())
        return false;
    for (wchar_t c : name)
        if (c < 0x20 || std::wstring(L"\"\\/:*?<>|").find(c) != std::wstring::npos)
            return false;
    return true;
}

PresetSplit SplitPreset(const std::wstring& preset)
{
    PresetSplit split;
    size_t last = preset.rfind(L'\\');
    if (last != std::wstring::npos && last > 0) {
        split.folder = preset.substr(0, last);
        split.name = preset.substr(last + 1);
    } else {
        split.name = preset;
    }
    const size_t fileBufferUnits = 260;
    if (split.name.size() > fileBufferUnits - 1)
        split.name.resize(fileBufferUnits - 1);
    if (!ProposedNameUsable(split.name))
        split.name.clear();
    return split;
}
