// ProbePort: whether the bootloader's serial port can be opened right now (opened, set up, closed again).
#pragma once

#include <string>

bool ProbePort(const std::wstring& portName);
