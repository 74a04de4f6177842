// ProbePort: opens the bootloader's port exclusively, applies the line settings, and closes it again at once.
#include "flash/port_probe.h"

#include <windows.h>

#include "flash/command_line.h"

namespace {

// The port while a probe holds it open; on the console-close road the process end closes it.
HANDLE g_probedPort = INVALID_HANDLE_VALUE;

const DWORD kQueueBytes = 1024;

// Closes the probed port and forgets it.
void CloseProbedPort()
{
    HANDLE port = g_probedPort;
    g_probedPort = INVALID_HANDLE_VALUE;
    CloseHandle(port);
}

}  // namespace

bool ProbePort(const std::wstring& portName)
{
    std::wstring device = PortDevicePath(portName);
    g_probedPort = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (g_probedPort == INVALID_HANDLE_VALUE)
        return false;

    // Only a recommendation to the driver: a refusal does not make the port unusable.
    SetupComm(g_probedPort, kQueueBytes, kQueueBytes);

    DCB dcb;
    ZeroMemory(&dcb, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(g_probedPort, &dcb)) {
        CloseProbedPort();
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
    if (!SetCommState(g_probedPort, &dcb)) {
        CloseProbedPort();
        return false;
    }

    COMMTIMEOUTS timeouts;
    ZeroMemory(&timeouts, sizeof(timeouts));
    timeouts.WriteTotalTimeoutMultiplier = 100;
    timeouts.WriteTotalTimeoutConstant = 10;
    SetCommTimeouts(g_probedPort, &timeouts);

    CloseProbedPort();
    return true;
}
