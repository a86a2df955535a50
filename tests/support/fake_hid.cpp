#include "support/fake_hid.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

#include "base/status.h"

namespace fake {
namespace {

struct FakeHidState {
  std::mutex lock;
  std::condition_variable changed;
  FakeHidConfig config;
  FakeHidCounters counters;
  std::vector<std::vector<uint8_t>> reports;
  std::deque<uint8_t> input;  // whole input reports
  int openDevice = -1;
  bool lost = false;
  bool stopRaised = false;
  int pendingReads = 0;
  int failuresLeft = 0;
};

FakeHidState gFake;

uint16_t InputLengthLocked() {
  if (gFake.openDevice < 0) return 65;
  return gFake.config.devices[gFake.openDevice].inputLength;
}

void QueuePayloadLocked(const std::vector<uint8_t>& bytes) {
  const uint16_t length = InputLengthLocked();
  const size_t room = length - 2;
  for (size_t at = 0; at < bytes.size(); at += room) {
    size_t n = std::min(room, bytes.size() - at);
    gFake.input.push_back(0);
    gFake.input.push_back(static_cast<uint8_t>(n));
    for (size_t i = 0; i < room; ++i) gFake.input.push_back(i < n ? bytes[at + i] : 0);
  }
}

bool Load() {
  std::lock_guard<std::mutex> hold(gFake.lock);
  ++gFake.counters.loads;
  if (gFake.config.loadStatus != 0) return SetLastStatus(gFake.config.loadStatus) != 0;
  return true;
}

void Unload() {
  std::lock_guard<std::mutex> hold(gFake.lock);
  ++gFake.counters.unloads;
}

bool Enumerate(HidVisit visit, void* context) {
  std::vector<FakeHidDevice> devices;
  int32_t status;
  {
    std::lock_guard<std::mutex> hold(gFake.lock);
    devices = gFake.config.devices;
    status = gFake.config.enumerateStatus;
  }
  for (const FakeHidDevice& d : devices) {
    if (visit(context, d.path, d.product)) return true;
  }
  if (status != 0) return SetLastStatus(status) != 0;
  return true;
}

UsbHandle OpenWrite(const char* path, uint16_t* inputLength, uint16_t* outputLength) {
  std::lock_guard<std::mutex> hold(gFake.lock);
  ++gFake.counters.openWrites;
  if (gFake.config.openWriteFails) return kNoUsbHandle;
  for (size_t i = 0; i < gFake.config.devices.size(); ++i) {
    if (gFake.config.devices[i].path != path) continue;
    gFake.openDevice = static_cast<int>(i);
    *inputLength = gFake.config.devices[i].inputLength;
    *outputLength = gFake.config.devices[i].outputLength;
    gFake.failuresLeft = gFake.config.failingWrites;
    gFake.lost = false;
    return 100 + static_cast<UsbHandle>(i);
  }
  return kNoUsbHandle;
}

HidWriteOutcome Write(UsbHandle, const uint8_t* report, uint32_t length, uint32_t* written) {
  Responder responder;
  std::vector<uint8_t> payload;
  {
    std::lock_guard<std::mutex> hold(gFake.lock);
    ++gFake.counters.writeCalls;
    if (gFake.failuresLeft != 0 && gFake.config.failKind != HidWriteOutcome::Written) {
      if (gFake.failuresLeft > 0) --gFake.failuresLeft;
      return gFake.config.failKind;
    }
    gFake.reports.emplace_back(report, report + length);
    *written = gFake.config.shortWrite ? length - 1 : length;
    uint32_t n = length >= 2 ? report[1] : 0;
    if (n > length - 2) n = length - 2;
    payload.assign(report + 2, report + 2 + n);
    responder = gFake.config.responder;
  }
  if (responder) {
    std::vector<uint8_t> reply;
    bool drop = responder(payload, reply);
    std::lock_guard<std::mutex> hold(gFake.lock);
    QueuePayloadLocked(reply);
    if (drop) gFake.lost = true;
    // Only news for a reader wakes it: a real device's reader sleeps through
    // the reports that only add to a frame.
    if (!reply.empty() || drop) gFake.changed.notify_all();
  }
  return HidWriteOutcome::Written;
}

void CloseWrite(UsbHandle) {
  std::lock_guard<std::mutex> hold(gFake.lock);
  ++gFake.counters.closeWrites;
}

UsbHandle OpenRead(const char*, uint16_t) {
  std::lock_guard<std::mutex> hold(gFake.lock);
  ++gFake.counters.openReads;
  return gFake.config.openReadFails ? kNoUsbHandle : 200;
}

UsbReadOutcome Read(UsbHandle, uint8_t* buffer, uint32_t capacity, uint32_t* got, UsbHandle) {
  std::unique_lock<std::mutex> hold(gFake.lock);
  ++gFake.counters.readCalls;
  gFake.counters.lastReadCapacity = capacity;
  ++gFake.pendingReads;
  gFake.changed.notify_all();
  gFake.changed.wait(
      hold, [] { return gFake.input.size() >= InputLengthLocked() || gFake.lost || gFake.stopRaised; });
  --gFake.pendingReads;
  if (gFake.stopRaised) {
    gFake.counters.stopEndedPendingRead = true;
    return UsbReadOutcome::Stopped;
  }
  if (gFake.lost) return UsbReadOutcome::Failed;
  const uint16_t length = InputLengthLocked();
  uint32_t n = 0;
  while (gFake.input.size() >= length && n + length <= capacity) {
    for (uint16_t i = 0; i < length; ++i) {
      buffer[n++] = gFake.input.front();
      gFake.input.pop_front();
    }
  }
  *got = n;
  return UsbReadOutcome::Data;
}

void CloseRead(UsbHandle) {
  std::lock_guard<std::mutex> hold(gFake.lock);
  ++gFake.counters.closeReads;
  if (gFake.pendingReads > 0) gFake.counters.closeReadWhilePending = true;
}

UsbHandle CreateStop() {
  std::lock_guard<std::mutex> hold(gFake.lock);
  ++gFake.counters.stopsCreated;
  gFake.stopRaised = false;
  return 300;
}

void RaiseStop(UsbHandle) {
  std::lock_guard<std::mutex> hold(gFake.lock);
  gFake.stopRaised = true;
  gFake.changed.notify_all();
}

void DestroyStop(UsbHandle) {
  std::lock_guard<std::mutex> hold(gFake.lock);
  ++gFake.counters.stopsDestroyed;
}

constexpr HidDeviceApi kFakeHid = {
    .load = Load,
    .unload = Unload,
    .enumerate = Enumerate,
    .openWrite = OpenWrite,
    .write = Write,
    .closeWrite = CloseWrite,
    .openRead = OpenRead,
    .read = Read,
    .closeRead = CloseRead,
    .createStop = CreateStop,
    .raiseStop = RaiseStop,
    .destroyStop = DestroyStop,
};

}  // namespace

void FakeHidInstall(const FakeHidConfig& config) {
  {
    std::lock_guard<std::mutex> hold(gFake.lock);
    gFake.config = config;
    gFake.counters = FakeHidCounters{};
    gFake.reports.clear();
    gFake.input.clear();
    gFake.openDevice = -1;
    gFake.lost = false;
    gFake.stopRaised = false;
    gFake.pendingReads = 0;
    gFake.failuresLeft = config.failingWrites;
  }
  InstallHidDeviceApi(&kFakeHid);
}

void FakeHidUninstall() { InstallHidDeviceApi(nullptr); }

std::vector<std::vector<uint8_t>> FakeHidReports() {
  std::lock_guard<std::mutex> hold(gFake.lock);
  return gFake.reports;
}

FakeHidCounters FakeHidCountersNow() {
  std::lock_guard<std::mutex> hold(gFake.lock);
  return gFake.counters;
}

void FakeHidInjectRaw(const std::vector<uint8_t>& reports) {
  std::lock_guard<std::mutex> hold(gFake.lock);
  gFake.input.insert(gFake.input.end(), reports.begin(), reports.end());
  gFake.changed.notify_all();
}

void FakeHidInjectPayload(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> hold(gFake.lock);
  QueuePayloadLocked(bytes);
  gFake.changed.notify_all();
}

void FakeHidLoseConnection() {
  std::lock_guard<std::mutex> hold(gFake.lock);
  gFake.lost = true;
  gFake.changed.notify_all();
}

bool FakeHidWaitReadPending(int timeoutMs) {
  std::unique_lock<std::mutex> hold(gFake.lock);
  return gFake.changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                [] { return gFake.pendingReads > 0 && gFake.input.empty(); });
}

}  // namespace fake
