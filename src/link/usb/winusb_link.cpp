#include "link/usb/winusb_link.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "base/status.h"
#include "link/usb/usb_common.h"
#include "link/usb/winusb_device.h"

namespace {

constexpr uint8_t kNoPipe = 0xFF;
constexpr uint32_t kOpenPipeTimeoutMs = 100;

struct WinUsbLinkRecord {
  UsbLinkCore core;
  // The device, guarded by deviceLock: the reader releases it on a read
  // failure, and that must neither overlap a send nor go unseen by one.
  std::mutex deviceLock;
  bool deviceOpen = false;
  uint8_t inPipe = kNoPipe;
  uint8_t outPipe = kNoPipe;
  uint32_t inMaxPacket = 0;
  uint32_t appliedSendTimeout = 0;
};

WinUsbLinkRecord gUsb;
const WinUsbDeviceApi* gApi = &kSystemWinUsbDevice;

UsbStopCalls StopCalls() { return {gApi->createStop, gApi->raiseStop, gApi->destroyStop}; }

bool VisitWinUsbDevice(void* context, const UsbDeviceNames& names, std::span<const uint8_t> descriptor) {
  return UsbKeepPath(context, names, WinUsbDescriptorMatches(descriptor));
}

// deviceLock held.
void ReleaseWinUsbDeviceLocked() {
  if (gUsb.deviceOpen) gApi->release();
  gUsb.deviceOpen = false;
}

void ReleaseWinUsbDevice() {
  std::lock_guard<std::mutex> hold(gUsb.deviceLock);
  ReleaseWinUsbDeviceLocked();
}

// Alternate setting 0's bulk pipes; the highest index wins per direction.
void FindBulkPipes() {
  gUsb.inPipe = kNoPipe;
  gUsb.outPipe = kNoPipe;
  uint8_t endpoints = 0;
  if (!gApi->queryInterface(&endpoints)) return;
  for (uint8_t index = 0; index < endpoints; ++index) {
    WinUsbPipeInfo pipe{};
    if (!gApi->queryPipe(index, &pipe) || pipe.pipeType != kUsbPipeTypeBulk) continue;
    if (pipe.pipeId & 0x80) {
      gUsb.inPipe = pipe.pipeId;
      gUsb.inMaxPacket = pipe.maximumPacketSize;
    } else {
      gUsb.outPipe = pipe.pipeId;
    }
  }
}

void WinUsbReader() {
  std::vector<uint8_t> buffer;
  const uint32_t ask = kWinUsbPacketsPerRead * gUsb.inMaxPacket;
  // No memory for the buffer (or a pipe that claims packets of 0 bytes):
  // the reader ends quietly and receives time out.
  bool haveBuffer = ask > 0;
  if (haveBuffer) {
    try {
      buffer.resize(ask);
    } catch (const std::bad_alloc&) {
      haveBuffer = false;
    }
  }
  if (!haveBuffer) {
    gUsb.core.reader.running = false;
    return;
  }
  // The device stays open while the reader runs: only the reader itself
  // releases it before close, and close joins the reader first.
  if (!UsbReadUntilStopped(
          gUsb.core, gApi->read, gUsb.inPipe, buffer.data(), ask,
          [](const uint8_t* bytes, uint32_t got) { ReceiverPush(gUsb.core.receiver, bytes, got); })) {
    ReleaseWinUsbDevice();
  }
  gUsb.core.reader.running = false;
}

// A reader that ended on a lost connection has left its thread and stop
// signal behind; they are tidied before the link is used again.
void TidyEndedReader() { UsbEndReader(gUsb.core, StopCalls()); }

}  // namespace

void InstallWinUsbDeviceApi(const WinUsbDeviceApi* api) { gApi = api ? api : &kSystemWinUsbDevice; }

bool WinUsbDescriptorMatches(std::span<const uint8_t> d) {
  if (d.size() < 12) return false;
  const uint16_t vendor = static_cast<uint16_t>(d[8] | (d[9] << 8));
  const uint16_t product = static_cast<uint16_t>(d[10] | (d[11] << 8));
  return vendor == kTaloVendorId && std::find(std::begin(kTaloProductIds), std::end(kTaloProductIds),
                                              product) != std::end(kTaloProductIds);
}

bool WinUsbIsOpen() {
  std::lock_guard<std::mutex> hold(gUsb.deviceLock);
  return gUsb.deviceOpen;
}

bool WinUsbReaderRunning() { return gUsb.core.reader.running; }

int WinUsbOpen() {
  if (WinUsbIsOpen()) return SetLastStatus(kStatusUsbAlreadyOpen);
  TidyEndedReader();
  // The ring is emptied at every search, whether or not a device is found.
  ReceiverClear(gUsb.core.receiver);
  if (!UsbFindDevice(gUsb.core, *gApi, VisitWinUsbDevice)) return 0;
  if (!gApi->open(gUsb.core.devicePath.c_str())) return SetLastStatus(kStatusUsbOpenFailed);
  {
    std::lock_guard<std::mutex> hold(gUsb.deviceLock);
    gUsb.deviceOpen = true;
  }
  FindBulkPipes();
  if (gUsb.inPipe == kNoPipe || gUsb.outPipe == kNoPipe) {
    ReleaseWinUsbDevice();
    return SetLastStatus(kStatusUsbOpenFailed);
  }
  if (!UsbStartReader(gUsb.core, StopCalls(), WinUsbReader)) {
    ReleaseWinUsbDevice();
    return 0;
  }
  // The controller's firmware wants its OUT pipe primed with an empty
  // packet; neither result matters, and the policy cache is left alone.
  gApi->setPipeTimeout(gUsb.outPipe, kOpenPipeTimeoutMs);
  uint32_t written = 0;
  gApi->write(gUsb.outPipe, nullptr, 0, &written);
  ReaderRelease(gUsb.core.reader);
  return 1;
}

int WinUsbClose() {
  if (!WinUsbIsOpen()) {
    TidyEndedReader();
    return SetLastStatus(kStatusUsbNotOpen);
  }
  UsbStopReader(gUsb.core, StopCalls(), nullptr, ReleaseWinUsbDevice);
  gApi->unload();
  return 1;
}

int WinUsbSend(const uint8_t* bytes, uint32_t count) {
  // Held for the whole transfer, so a reader that loses the connection
  // meanwhile waits with its release until the transfer is over.
  std::lock_guard<std::mutex> hold(gUsb.deviceLock);
  if (!gUsb.deviceOpen) return SetLastStatus(kStatusUsbNotOpen);
  SetLastStatus(kStatusNone);
  if (count == 0) return 1;
  if (gUsb.core.sendTimeout != gUsb.appliedSendTimeout) {
    if (!gApi->setPipeTimeout(gUsb.outPipe, gUsb.core.sendTimeout)) {
      return SetLastStatus(kStatusUsbWriteFailed);
    }
    gUsb.appliedSendTimeout = gUsb.core.sendTimeout;
  }
  uint32_t written = 0;
  if (!gApi->write(gUsb.outPipe, bytes, count, &written)) return SetLastStatus(kStatusUsbWriteFailed);
  // A transfer that ended well but moved too few bytes failed no call.
  if (written != count) return SetLastStatusWithoutCause(kStatusUsbWriteFailed);
  return 1;
}

int WinUsbReceiveByte(uint8_t* byte) { return UsbReceiveByte(gUsb.core, byte); }

int WinUsbSetTimeouts(uint32_t receiveMs, uint32_t sendMs) {
  UsbSetTimeouts(gUsb.core, receiveMs, sendMs);
  return 1;
}
