#include "base/status.h"

#include <cstring>
#include <mutex>

#include "base/syserror.h"

const StatusEntry StatusTable[] = {
    {0x0, "No error"},
    {0x4101, "Set CommTimeout error"},
    {0x102, "Set Timeout error: Port is not open"},
    {0x4103, "Config error"},
    {0x104, "Config error: Port is not open"},
    {0x4105, "Set CommState error"},
    {0x106, "Port is already open"},
    {0x4107, "Open error"},
    {0x108, "Open error: Device is not a character device"},
    {0x109, "Close error: Device was not open"},
    {0x10A, "Close error: Unable to close serial port"},
    {0x10B, "Transmit error: Port is not open"},
    {0x410C, "Transmit error"},
    {0x10D, "Transmit error: Could not send data"},
    {0x10E, "Transmit error: TX timeout"},
    {0x10F, "Receive error: Port is not open"},
    {0x4111, "Read error"},
    {0x112, "No data to read"},
    {0x110, "Open command port is not a serial device"},
    {0x113, "Invalid serial port name specified"},
    {0x201, "Failed to erase Flash memory page"},
    {0x202, "Failed to set Flash memory sub-page"},
    {0x203, "Failed to erase NAND flash index"},
    {0x204, "Switching upload baud rate is not supported on this chip"},
    {0x205, "Failed to switch baud rate"},
    {0x206, "Caution: Talo device has now upload baudrate"},
    {0x207, "Failed to write data to Flash"},
    {0x208, "Failed to read Flash data from file"},
    {0x209, "Found unexpected EOF in data file"},
    {0x20A, "Failed to open Flash data file"},
    {0x20B, "Failed to get Flash data filesize"},
    {0x20C, "Selected file is not an Talo Flash data file"},
    {0x20D, "Command port is already open"},
    {0x20E, "Command port is already closed"},
    {0x20F, "Command port not open"},
    {0x210, "Data size is too big for the Talo controller's Flash memory"},
    {0x211, "Unable to get the name of the Talo controller"},
    {0x212, "Data file has invalid checksum"},
    {0x213, "Selected file can't be used with the current Talo controller"},
    {0x214, "Aborted by user"},
    {0x301, "Failed to load DLL for USB"},
    {0x302, "Couldn't find one or more entry points in DLL"},
    {0x4303, "USB enumeration error"},
    {0x304, "USB device is already open"},
    {0x4305, "Unable to open USB device"},
    {0x306, "USB device is not open"},
    {0x4307, "Encountered timeout on USB device"},
    {0x4308, "Error writing data to USB device"},
    {0x309, "Error writing complete data USB device"},
    {0x430A, "USB connection lost"},
    {0x30B, "No data received on USB device"},
    {0x30C, "Error enumbering USB devices"},
    {0x30D, "No Talo USB devices found"},
    {0x30E, "Failed to initialize libusb-1.0"},
    {0x30F, "Unable to create USB read thread"},
    {0x4310, "Unable to open USB device in read thread"},
    {0x2401, "Unable to load Winsock"},
    {0x2402, "Unable to create UDP Socket"},
    {0x2403, "Unable to create TCP Socket"},
    {0x2404, "Unable to set socket options"},
    {0x2405, "Failed to send UDP broadcast"},
    {0x2406, "Unable to bind udp port"},
    {0x407, "Got no valid UDP response from device"},
    {0x408, "Got no repsone from device (Timeout)"},
    {0x409, "Entered wrong password"},
    {0x40A, "Failed to receive data from device"},
    {0x40B, "Found no Talo devices over Ethernet"},
    {0x240C, "Failed to connect to device"},
    {0x40D, "Device is not connected"},
    {0x40E, "Found more than one device, please disconnect the others"},
    {0x40F, "No password specified"},
    {0x410, "Device is already connected with another application or PC."},
    {-1, nullptr},
};

namespace {

struct LastStatusRecord {
  char text[kStatusTextCapacity] = "No error";
  StatusCode code = 0;
  uint32_t systemError = 0;
};

// The USB reader threads record their endings here too, so the record is
// locked; the lock is never held across anything but copying.
std::mutex gLock;
LastStatusRecord gLast;

void AppendText(char* field, const char* text) {
  size_t used = std::strlen(field);
  size_t room = kStatusTextCapacity - 1 - used;
  size_t n = std::strlen(text);
  if (n > room) n = room;
  std::memcpy(field + used, text, n);
  field[used + n] = '\0';
}

}  // namespace

int SetLastStatus(StatusCode code) {
  // Capture first: nothing below may touch the thread's last error before.
  uint32_t captured = 0;
  bool attach = false;
  if (code & kStatusAttachSystemError) {
    captured = CaptureSystemError();
    attach = true;
  } else if (code & kStatusAttachSocketError) {
    captured = CaptureSocketError();
    attach = true;
  }
  char systemText[kStatusTextCapacity] = "";
  if (attach) SystemErrorText(captured, systemText, sizeof systemText);

  std::lock_guard<std::mutex> hold(gLock);
  bool found = false;
  for (const StatusEntry* e = StatusTable; e->code >= 0; ++e) {
    if (e->code != code) continue;
    std::strncpy(gLast.text, e->message, kStatusTextCapacity);
    gLast.text[kStatusTextCapacity - 1] = '\0';
    if (attach) {
      gLast.systemError = captured;
      AppendText(gLast.text, "\n");
      AppendText(gLast.text, systemText);
    }
    found = true;
  }
  if (!found) {
    std::strcpy(gLast.text, "Unknown error");
  }
  gLast.code = code;
  return 0;
}

StatusCode LastStatusCode() {
  std::lock_guard<std::mutex> hold(gLock);
  return gLast.code;
}

const char* LastStatusText() {
  thread_local char copy[kStatusTextCapacity];
  std::lock_guard<std::mutex> hold(gLock);
  std::memcpy(copy, gLast.text, sizeof copy);
  return copy;
}

uint32_t LastSystemError() {
  std::lock_guard<std::mutex> hold(gLock);
  return (gLast.code & kStatusAttachSystemError) ? gLast.systemError : 0;
}
