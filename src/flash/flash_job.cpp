// FlashFirmware: checks the inputs, waits for the bootloader's port, runs avrdude and logs one closing line.
#include "flash/flash_job.h"

#include <windows.h>
#include <mmsystem.h>

#include <string>

#include "app/app.h"
#include "flash/command_line.h"
#include "flash/port_probe.h"
#include "flash/programmer.h"
#include "platform/files.h"

namespace {

const int kPortAttempts = 100;
const DWORD kPortPauseMs = 200;
// Long enough to keep a core free, short enough that a chatty child is not held up by a full pipe.
const DWORD kProgrammerPollMs = 10;

bool g_timerRaised = false;

// The 200 ms pauses of the port wait need 1 ms timer resolution; it is raised once and kept.
void SleepPrecisely(DWORD milliseconds)
{
    if (!g_timerRaised) {
        timeBeginPeriod(1);
        g_timerRaised = true;
    }
    Sleep(milliseconds);
}

// The closing line for the programmer's exit code: only 0 means the flash was written.
std::wstring ProgrammerEndLine(DWORD exitCode)
{
    if (exitCode == 0)
        return L"Прошивка завершена";
    return L"Ошибка прошивки (код завершения avrdude: " + std::to_wstring(static_cast<unsigned long>(exitCode)) +
           L")";
}

// Waits for the child to end while moving its output on, so that a full pipe never stops it.
DWORD AwaitProgrammerEnd(ProgrammerHandle* programmer)
{
    while (ProgrammerRunning(programmer)) {
        if (!ForwardProgrammerOutput(programmer))
            AwaitProgrammer(programmer, kProgrammerPollMs);
    }
    return ProgrammerExitCode(programmer);
}

}  // namespace

EventKind FlashFirmware()
{
    ClearItems(LogView);
    FlushEvents();  // shows the empty log; a close request taken here is dropped

    std::wstring path = GetControlText(FileField);
    std::wstring programmerPath = ProgrammerFilePath(path);
    if (!HexFileUsable(path) || programmerPath.empty()) {
        AppendItem(LogView, L"Не найден HEX файл");
        return EventNone;
    }
    std::wstring quoted = QuotedPath(programmerPath);

    std::wstring port = GetControlText(PortCombo);
    if (port.empty()) {
        AppendItem(LogView, L"Не выбран порт");
        return EventNone;
    }

    AppendItem(LogView, L"Ожидание открытия порта");
    FlushEvents();  // shows the line; a close request taken here is dropped too

    bool portOpened = false;
    for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
        if (ProbePort(port)) {
            portOpened = true;
            break;
        }
        SleepPrecisely(kPortPauseMs);
        if (FlushEvents() == EventCloseRequest)
            return EventCloseRequest;
    }
    if (!portOpened) {
        AppendItem(LogView, L"Завершен таймаут ожидания окрытия порта");
        return EventNone;
    }

    ProgrammerHandle* programmer = StartProgrammer(L"avrdude", ProgrammerParameters(port, quoted), L"");
    if (!programmer) {
        AppendItem(LogView, L"Не удалось запустить 'avrdude.exe'");
        return EventNone;
    }
    DWORD exitCode = AwaitProgrammerEnd(programmer);
    CloseProgrammer(programmer);
    AppendItem(LogView, ProgrammerEndLine(exitCode));
    return EventNone;
}
