// USB bulk link (WinUSB on Windows, libusb on Linux): raw bytes over one bulk
// OUT and one bulk IN pipe, the IN side read by a reader thread.
#pragma once

#include <cstdint>

int WinUsbOpen();
int WinUsbClose();
int WinUsbSend(const uint8_t* bytes, uint32_t count);
int WinUsbReceiveByte(uint8_t* byte);
int WinUsbSetTimeouts(uint32_t receiveMs, uint32_t sendMs);
