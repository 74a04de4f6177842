// ProbePort: opens the bootloader's port exclusively, applies the line settings, and closes it again at once.
#include "flash/port_probe.h"

#include <windows.h>

#include "flash/command_line.h"

namespace {

const DWORD kQueueBytes = 1024;

}  // namespace

bool ProbePort(const std::wstring& portName)
{
    std::wstring device = PortDevicePath(portName);
    // Open only within this call; on the console-close road the end of the process closes it.
    HANDLE port = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return false;

    // Only a recommendation to the driver: a refusal does not make the port unusable.
    SetupComm(port, kQueueBytes, kQueueBytes);

    DCB dcb;
    ZeroMemory(&dcb, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(port, &dcb)) {
        CloseHandle(port);
        return false;
    }
    // Only these fields change; the rest stay as the driver reported them.
    dcb.BaudRate = 57600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fParity = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    if (!SetCommState(port, &dcb)) {
        CloseHandle(port);
        return false;
    }

    COMMTIMEOUTS timeouts;
    ZeroMemory(&timeouts, sizeof(timeouts));
    timeouts.WriteTotalTimeoutMultiplier = 100;
    timeouts.WriteTotalTimeoutConstant = 10;
    SetCommTimeouts(port, &timeouts);

    CloseHandle(port);
    return true;
}
