// Tab and Shift+Tab among the controls, as a walk over their creation order.
#pragma once

// The index that gets the focus: eligible[i] says whether stop i can take it now; current is the stop
// that has the focus, or -1 for none. -1 when no stop is eligible.
int NextTabStop(const bool* eligible, int count, int current, bool backward);
