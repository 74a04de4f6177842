// The Tab walk: forward or backward from the focused stop, wrapping, skipping stops that cannot take the focus.
#include "app/tab_order.h"

int NextTabStop(const bool* eligible, int count, int current, bool backward)
{
    if (count <= 0)
        return -1;
    int step = backward ? -1 : 1;
    // With nothing focused, start just outside the list so that the first step lands on an end.
    int at = (current >= 0 && current < count) ? current : (backward ? count : -1);
    for (int tried = 0; tried < count; ++tried) {
        at = ((at + step) % count + count) % count;
        if (eligible[at])
            return at;
    }
    return -1;
}
