#include "link/usb/hid_link.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "base/status.h"
#include "link/usb/hid_device.h"
#include "link/usb/usb_common.h"

namespace {

// Report ID, count byte and at least one payload byte.
constexpr uint16_t kMinReportLength = 3;
constexpr std::u16string_view kProductString = u"Talo Controller";

struct HidLinkRecord {
  UsbLinkCore core;
  UsbHandle writeHandle = kNoUsbHandle;
  uint16_t inputReportLength = 0;
  uint16_t outputReportLength = 0;
  std::array<uint8_t, kHidMaxReportLength> report{};
  int32_t reportFill = 0;
};

HidLinkRecord gHid;
const HidDeviceApi* gApi = &kSystemHidDevice;

UsbStopCalls StopCalls() { return {gApi->createStop, gApi->raiseStop, gApi->destroyStop}; }

bool VisitHidDevice(void* context, const UsbDeviceNames& names, std::u16string_view product) {
  return UsbKeepPath(context, names, product == kProductString);
}

void ClearReport() {
  gHid.reportFill = 0;
  gHid.report.fill(0);
}

// Between attempts after a failed write: the next one right away would only
// spin against a device that keeps failing.
constexpr auto kWriteRetryPause = std::chrono::milliseconds(1);

// The least a write handed to the device is waited for, whatever is left of
// the send's time: a report a device takes in milliseconds can be held up
// that long by a busy machine's scheduling (seen in the emulated runs under
// ThreadSanitizer on a busy two-core machine), and that is no device that
// stopped reading. Failed attempts are not retried past the deadline.
constexpr uint32_t kLeastWriteWaitMs = 500;

// What a write may wait: the time left, at least kLeastWriteWaitMs.
uint32_t WriteWaitMs(std::chrono::steady_clock::time_point deadline) {
  const auto left = deadline - std::chrono::steady_clock::now();
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms < kLeastWriteWaitMs ? kLeastWriteWaitMs : static_cast<uint32_t>(ms);
}

// One attempt after another while they fail, until the deadline; at least one.
HidWriteOutcome WriteReport(std::chrono::steady_clock::time_point deadline, uint32_t* written) {
  for (;;) {
    *written = 0;
    const HidWriteOutcome outcome = gApi->write(gHid.writeHandle, gHid.report.data(), gHid.outputReportLength,
                                                written, WriteWaitMs(deadline));
    if (outcome != HidWriteOutcome::Failed || std::chrono::steady_clock::now() >= deadline) return outcome;
    std::this_thread::sleep_for(kWriteRetryPause);
  }
}

bool FlushReport(uint32_t timeout) {
  if (gHid.reportFill == 0) return true;
  // Only the time-out's low 16 bits count: a longer or a negative one wraps,
  // so a send never waits past 65.5 s. The command layer sends with 100 ms.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<uint16_t>(timeout));
  uint32_t written = 0;
  const HidWriteOutcome outcome = WriteReport(deadline, &written);
  int ok = 1;
  if (outcome == HidWriteOutcome::Written) {
    if (written != gHid.outputReportLength) ok = SetLastStatus(kStatusUsbWriteIncomplete);
  } else {
    ok = SetLastStatus(outcome == HidWriteOutcome::DeviceGone ? kStatusUsbWriteFailed : kStatusUsbTimedOut);
  }
  ClearReport();
  return ok != 0;
}

// Fills reports with `count` bytes, as many as fit at a time; a full report
// goes out only when more bytes follow, the last one stays for FlushReport.
bool AppendToReport(const uint8_t* bytes, uint32_t count, uint32_t timeout) {
  const int32_t room = gHid.outputReportLength - 2;
  while (count > 0) {
    if (gHid.reportFill >= room && !FlushReport(timeout)) return false;
    const uint32_t n = std::min(count, static_cast<uint32_t>(room - gHid.reportFill));
    std::memcpy(gHid.report.data() + 2 + gHid.reportFill, bytes, n);
    gHid.report[0] = 0;
    gHid.reportFill += static_cast<int32_t>(n);
    gHid.report[1] = static_cast<uint8_t>(gHid.reportFill);
    bytes += n;
    count -= n;
  }
  return true;
}

void EndReader(UsbHandle readHandle) {
  if (readHandle != kNoUsbHandle) gApi->closeRead(readHandle);
  gHid.core.reader.running = false;
}

// One read's reports: their payload into the ring, and a waiting receive woken.
void TakeReports(const uint8_t* bytes, uint32_t got) {
  UsbReceiver& receiver = gHid.core.receiver;
  {
    std::lock_guard<std::mutex> hold(receiver.lock);
    HidUnpackInput(receiver.ring, bytes, got, gHid.inputReportLength);
  }
  receiver.pushed.notify_one();
}

void HidReader() {
  UsbHandle readHandle = gApi->openRead(gHid.core.devicePath.c_str(), gHid.inputReportLength);
  if (readHandle == kNoUsbHandle) {
    SetLastStatus(kStatusUsbReaderOpenFailed);
    EndReader(kNoUsbHandle);
    return;
  }
  std::array<uint8_t, kHidReportsPerRead * kHidMaxReportLength> buffer{};
  UsbReadUntilStopped(gHid.core, gApi->read, readHandle, buffer.data(),
                      kHidReportsPerRead * gHid.inputReportLength, TakeReports);
  EndReader(readHandle);
}

void CloseWriteHandle() {
  gApi->closeWrite(gHid.writeHandle);
  gHid.writeHandle = kNoUsbHandle;
}

}  // namespace

void InstallHidDeviceApi(const HidDeviceApi* api) { gApi = api ? api : &kSystemHidDevice; }

void HidUnpackInput(ReceiveRing& ring, const uint8_t* bytes, uint32_t got, uint16_t reportLength) {
  // Report by report, only its payload bytes visited: a reply of one byte
  // comes in a whole report, mostly padding.
  for (uint32_t start = 0; reportLength > 2 && start + 2 < got; start += reportLength) {
    const uint32_t end = std::min<uint32_t>(start + reportLength, got);
    const uint32_t count = std::min<uint32_t>(bytes[start + 1], end - start - 2);
    for (uint32_t i = 0; i < count; ++i) RingPush(ring, bytes[start + 2 + i]);
  }
}

bool HidIsOpen() { return gHid.writeHandle != kNoUsbHandle; }
bool HidReaderRunning() { return gHid.core.reader.running; }

int HidOpen() {
  if (HidIsOpen()) return SetLastStatus(kStatusUsbAlreadyOpen);
  if (!UsbFindDevice(gHid.core, *gApi, VisitHidDevice)) return 0;
  uint16_t inputLength = 0;
  uint16_t outputLength = 0;
  gHid.writeHandle = gApi->openWrite(gHid.core.devicePath.c_str(), &inputLength, &outputLength);
  if (gHid.writeHandle == kNoUsbHandle) return SetLastStatus(kStatusUsbOpenFailed);
  // Too long overruns the report buffers; too short has no room for the ID,
  // the count and a payload byte, and would never carry anything.
  auto usable = [](uint16_t n) { return n >= kMinReportLength && n <= kHidMaxReportLength; };
  if (!usable(inputLength) || !usable(outputLength)) {
    CloseWriteHandle();
    // No call failed: the error left over is the search's, from another node.
    return SetLastStatusWithoutCause(kStatusUsbOpenFailed);
  }
  gHid.inputReportLength = inputLength;
  gHid.outputReportLength = outputLength;
  // A previous session's unread bytes are no replies to this one.
  ReceiverClear(gHid.core.receiver);
  if (!UsbStartReader(gHid.core, StopCalls(), HidReader)) {
    HidClose();  // kStatusUsbReaderStartFailed stands
    return 0;
  }
  ReaderRelease(gHid.core.reader);
  ClearReport();
  return 1;
}

int HidClose() {
  if (!HidIsOpen()) return SetLastStatus(kStatusUsbNotOpen);
  // The write handle goes while the reader may still be ending: from then
  // on the link counts as closed. The reader has handles of its own.
  UsbStopReader(gHid.core, StopCalls(), CloseWriteHandle, nullptr);
  gApi->unload();
  return 1;
}

int HidSend(const uint8_t* bytes, uint32_t count) {
  if (!HidIsOpen()) return SetLastStatus(kStatusUsbNotOpen);
  SetLastStatus(kStatusNone);
  if (!AppendToReport(bytes, count, gHid.core.sendTimeout)) {
    ClearReport();
    return 0;
  }
  return FlushReport(gHid.core.sendTimeout) ? 1 : 0;
}

int HidReceiveByte(uint8_t* byte) { return UsbReceiveByte(gHid.core, byte); }

int HidSetTimeouts(uint32_t receiveMs, uint32_t sendMs) {
  UsbSetTimeouts(gHid.core, receiveMs, sendMs);
  return 1;
}
