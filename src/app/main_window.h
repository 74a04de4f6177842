// MainWindow: the program's one window, its six controls, and the event queue that the loop and the flash job read.
#pragma once

#include <string>

// What WaitEvent and PollEvent hand out. EventWindowActivity stands for every window message the program
// does not act on (painting, moving, activation, ...).
enum EventKind { EventNone, EventControl, EventCloseRequest, EventWindowActivity };

// The controls, by their Win32 control ids.
enum ControlId { FileField = 0, BrowseButton = 1, PortLabel = 2, PortCombo = 3, FlashButton = 4, LogView = 5 };

// Initialises the common controls and fetches the stock font; once, before OpenMainWindow.
void PrepareControls();
// Creates MainWindow (client area width x height, centred on the primary screen) and its controls; always 0.
int OpenMainWindow(int x, int y, int width, int height);
// Destroys MainWindow and unloads the rich edit library; main thread only.
void CloseMainWindow();

// Hands out one queued event, or handles one window message (WaitEvent waits for one, PollEvent never waits).
EventKind WaitEvent();
EventKind PollEvent();
// The control of the last EventControl handed out.
int EventControlId();

std::wstring GetControlText(int id);
void SetControlText(int id, const std::wstring& text);
// PortCombo: a new last entry of the list. LogView: a new last line.
void AppendItem(int id, const std::wstring& text);
// LogView: empties it.
void ClearItems(int id);
void DisableControl(int id, bool disabled);
// Drops the clicks and keys that piled up while a job held the thread; an Alt+F4 among them still asks to close.
void DiscardQueuedInput();
