// Serial link: a COM port (Windows) or a tty device (POSIX), synchronous I/O
// bounded by the port's time-outs.
#pragma once

#include <cstdint>
#include <string_view>

int SerialOpen(std::string_view portName, int32_t baudRate, bool noCts);
int SerialConfigure(int32_t baudRate, bool noCts);
int SerialSetTimeouts(uint32_t receiveMs, uint32_t sendMs);
int SerialClose();
int SerialSend(const uint8_t* bytes, uint32_t count);
int SerialReceiveByte(uint8_t* byte);
