// FlashFirmware: one press of FlashButton, from the input checks to the programmer's end.
#pragma once

#include "app/main_window.h"

// EventCloseRequest when a close request ended the job while it waited for the port, else EventNone.
EventKind FlashFirmware();
