// Link selection and dispatch: the one place that knows which link carries
// the command protocol. Every operation returns non-zero on success and 0 on
// failure with the status recorded (here or by the link).
#pragma once

#include <cstdint>
#include <string_view>

enum class LinkKind : int32_t {
  Serial = 0,
  UsbHid = 1,
  Ethernet = 2,
  UsbWinUsb = 3,
};

struct LinkStateRecord {
  LinkKind kind = LinkKind::Serial;
  bool isOpen = false;
  bool isSerial = true;
  uint32_t maxBlockSize = 256;
  bool serialNoCts = false;
};

extern LinkStateRecord LinkState;

int LinkOpen(std::string_view portName, int32_t baudRate, bool noCts, LinkKind kind);
int LinkClose();
int LinkSend(const uint8_t* bytes, uint32_t count);
int LinkReceiveByte(uint8_t* byte);
int LinkSetTimeouts(uint32_t receiveMs, uint32_t sendMs);
// The host's line rate: kStatusLinkNotOpen when no link is open,
// kStatusLinkNotSerial when the link has no line rate (only serial has).
int LinkSetRate(int32_t baudRate);

// Puts LinkState back to its initial values (tests only).
void ResetLinkState();
