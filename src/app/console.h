// The console beside MainWindow: its title, and the handler that ends the program when it is closed.
#pragma once

#include <windows.h>

void OpenConsoleWindow(const wchar_t* title);
BOOL WINAPI ConsoleControlHandler(DWORD event);
