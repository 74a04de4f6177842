// The shell's shared procedures: the event loop, the browse handler, draining events, and the final release.
#pragma once

#include "app/main_window.h"

// Waits for events until a close request; runs the browse handler and the flash job on their buttons.
void RunEventLoop();
// Asks for a HEX file with the file dialog and puts the choice into FileField.
void BrowseForHexFile();
// Takes and handles every pending window event without waiting; EventCloseRequest as soon as one is taken.
EventKind FlushEvents();
// Releases what the program holds; safe on the main thread and on the console handler's thread.
void ReleaseResources();
