// Centring arithmetic for MainWindow.
#include "app/window_layout.h"

int CentredOrigin(int outer, int screen)
{
    int shown = outer < screen ? outer : screen;
    return (screen - shown) / 2;
}
