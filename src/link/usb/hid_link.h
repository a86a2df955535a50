// USB HID link: output reports written by the main thread, input reports
// read by a reader thread into a ReceiveRing.
#pragma once

#include <cstdint>

int HidOpen();
int HidClose();
int HidSend(const uint8_t* bytes, uint32_t count);
int HidReceiveByte(uint8_t* byte);
int HidSetTimeouts(uint32_t receiveMs, uint32_t sendMs);
