// Where MainWindow goes on the screen: centred, but never off its top or left edge.
#pragma once

// The left (or top) edge that centres an extent of size outer on a screen of size screen.
int CentredOrigin(int outer, int screen);
