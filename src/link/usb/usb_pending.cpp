// Placeholder until the USB links land: both opens fail with the HID
// search's "nothing found" status, nothing else is reachable.
#include "app/status.h"
#include "link/usb/hid_link.h"
#include "link/usb/winusb_link.h"

int HidOpen() { return SetLastStatus(0x30D); }
int HidClose() { return SetLastStatus(0x306); }
int HidSend(const uint8_t*, uint32_t) { return SetLastStatus(0x306); }
int HidReceiveByte(uint8_t*) { return SetLastStatus(0x30B); }
int HidSetTimeouts(uint32_t, uint32_t) { return 1; }
int WinUsbOpen() { return SetLastStatus(0x30D); }
int WinUsbClose() { return SetLastStatus(0x306); }
int WinUsbSend(const uint8_t*, uint32_t) { return SetLastStatus(0x306); }
int WinUsbReceiveByte(uint8_t*) { return SetLastStatus(0x30B); }
int WinUsbSetTimeouts(uint32_t, uint32_t) { return 1; }
