#include "base/status.h"

#include <cstring>
#include <mutex>

#include "base/syserror.h"

const StatusEntry StatusTable[] = {
    {kStatusNone, "No error"},
    {kStatusSerialSetTimeoutsFailed, "Set CommTimeout error"},
    {kStatusSerialSetTimeoutsNotOpen, "Set Timeout error: Port is not open"},
    {kStatusSerialGetStateFailed, "Config error"},
    {kStatusSerialConfigNotOpen, "Config error: Port is not open"},
    {kStatusSerialSetStateFailed, "Set CommState error"},
    {kStatusSerialAlreadyOpen, "Port is already open"},
    {kStatusSerialOpenFailed, "Open error"},
    {kStatusSerialNotCharacterDevice, "Open error: Device is not a character device"},
    {kStatusSerialCloseNotOpen, "Close error: Device was not open"},
    {kStatusSerialCloseFailed, "Close error: Unable to close serial port"},
    {kStatusSerialSendNotOpen, "Transmit error: Port is not open"},
    {kStatusSerialSendFailed, "Transmit error"},
    {kStatusSerialSendIncomplete, "Transmit error: Could not send data"},
    {kStatusSerialSendTimedOut, "Transmit error: TX timeout"},
    {kStatusSerialReceiveNotOpen, "Receive error: Port is not open"},
    {kStatusSerialReadFailed, "Read error"},
    {kStatusSerialNoData, "No data to read"},
    {kStatusLinkNotSerial, "Open command port is not a serial device"},
    {kStatusSerialBadPortName, "Invalid serial port name specified"},
    {kStatusEraseFailed, "Failed to erase Flash memory page"},
    {kStatusSubPageFailed, "Failed to set Flash memory sub-page"},
    {kStatusNandIndexEraseFailed, "Failed to erase NAND flash index"},
    {kStatusUploadRateUnsupported, "Switching upload baud rate is not supported on this chip"},
    {kStatusRateSwitchFailed, "Failed to switch baud rate"},
    {kStatusControllerLeftAtUploadRate, "Caution: Talo device has now upload baudrate"},
    {kStatusFlashWriteFailed, "Failed to write data to Flash"},
    {kStatusDataFileReadFailed, "Failed to read Flash data from file"},
    {kStatusDataFileUnexpectedEnd, "Found unexpected EOF in data file"},
    {kStatusDataFileOpenFailed, "Failed to open Flash data file"},
    {kStatusDataFileSizeUnknown, "Failed to get Flash data filesize"},
    {kStatusNotFlashDataFile, "Selected file is not an Talo Flash data file"},
    {kStatusLinkAlreadyOpen, "Command port is already open"},
    {kStatusLinkAlreadyClosed, "Command port is already closed"},
    {kStatusLinkNotOpen, "Command port not open"},
    {kStatusImageTooBig, "Data size is too big for the Talo controller's Flash memory"},
    {kStatusControllerNameUnknown, "Unable to get the name of the Talo controller"},
    {kStatusDataFileBadChecksum, "Data file has invalid checksum"},
    {kStatusImageForOtherModel, "Selected file can't be used with the current Talo controller"},
    {kStatusAbortedByUser, "Aborted by user"},
    {kStatusUsbDllLoadFailed, "Failed to load DLL for USB"},
    {kStatusUsbDllEntryMissing, "Couldn't find one or more entry points in DLL"},
    {kStatusUsbEnumerationFailed, "USB enumeration error"},
    {kStatusUsbAlreadyOpen, "USB device is already open"},
    {kStatusUsbOpenFailed, "Unable to open USB device"},
    {kStatusUsbNotOpen, "USB device is not open"},
    {kStatusUsbTimedOut, "Encountered timeout on USB device"},
    {kStatusUsbWriteFailed, "Error writing data to USB device"},
    {kStatusUsbWriteIncomplete, "Error writing complete data USB device"},
    {kStatusUsbConnectionLost, "USB connection lost"},
    {kStatusUsbNoData, "No data received on USB device"},
    {kStatusUsbNoDeviceList, "Error enumbering USB devices"},
    {kStatusUsbNoDevice, "No Talo USB devices found"},
    {kStatusUsbLibraryInitFailed, "Failed to initialize libusb-1.0"},
    {kStatusUsbReaderStartFailed, "Unable to create USB read thread"},
    {kStatusUsbReaderOpenFailed, "Unable to open USB device in read thread"},
    {kStatusEthStartupFailed, "Unable to load Winsock"},
    {kStatusEthUdpSocketFailed, "Unable to create UDP Socket"},
    {kStatusEthTcpSocketFailed, "Unable to create TCP Socket"},
    {kStatusEthSocketOptionFailed, "Unable to set socket options"},
    {kStatusEthBroadcastFailed, "Failed to send UDP broadcast"},
    {kStatusEthBindFailed, "Unable to bind udp port"},
    {kStatusEthNoValidReply, "Got no valid UDP response from device"},
    {kStatusEthTimedOut, "Got no repsone from device (Timeout)"},
    {kStatusEthWrongPassword, "Entered wrong password"},
    {kStatusEthReceiveFailed, "Failed to receive data from device"},
    {kStatusEthNoDevice, "Found no Talo devices over Ethernet"},
    {kStatusEthConnectFailed, "Failed to connect to device"},
    {kStatusEthNotConnected, "Device is not connected"},
    {kStatusEthSeveralDevices, "Found more than one device, please disconnect the others"},
    {kStatusEthNoPassword, "No password specified"},
    {kStatusEthDeviceInUse, "Device is already connected with another application or PC."},
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

namespace {

// Records `code`, with the system's text for `captured` when `attach`.
int Record(StatusCode code, bool attach, uint32_t captured) {
  char systemText[kStatusTextCapacity] = "";
  if (attach) SystemErrorText(captured, systemText, sizeof systemText);

  std::lock_guard<std::mutex> hold(gLock);
  bool found = false;
  for (const StatusEntry* e = StatusTable; e->code >= 0; ++e) {
    if (e->code != code) continue;
    std::strncpy(gLast.text, e->message, kStatusTextCapacity);
    gLast.text[kStatusTextCapacity - 1] = '\0';
    if (attach) {
      AppendText(gLast.text, "\n");
      AppendText(gLast.text, systemText);
    }
    found = true;
  }
  if (!found) {
    std::strcpy(gLast.text, "Unknown error");
  }
  gLast.systemError = attach ? captured : 0;
  gLast.code = code;
  return 0;
}

}  // namespace

int SetLastStatus(StatusCode code) {
  // Capture first: nothing below may touch the thread's last error before.
  if (code & kStatusAttachSystemError) return Record(code, true, CaptureSystemError());
  if (code & kStatusAttachSocketError) return Record(code, true, CaptureSocketError());
  return Record(code, false, 0);
}

int SetLastStatusWithoutCause(StatusCode code) { return Record(code, false, 0); }

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
