#include "support/fake_winusb.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "base/status.h"

namespace fake {
namespace {

struct FakeWinUsbState {
  std::mutex lock;
  std::condition_variable changed;
  FakeWinUsbConfig config;
  FakeWinUsbCounters counters;
  std::vector<std::vector<uint8_t>> writes;
  std::deque<uint8_t> input;
  int openDevice = -1;
  bool lost = false;
  bool stopRaised = false;
  int pendingReads = 0;
  int writesInProgress = 0;
  bool finishWrite = false;
};

FakeWinUsbState gFake;

const FakeWinUsbDevice* OpenDeviceLocked() {
  return gFake.openDevice < 0 ? nullptr : &gFake.config.devices[gFake.openDevice];
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

bool Enumerate(WinUsbVisit visit, void* context) {
  std::vector<FakeWinUsbDevice> devices;
  int32_t status;
  {
    std::lock_guard<std::mutex> hold(gFake.lock);
    devices = gFake.config.devices;
    status = gFake.config.enumerateStatus;
  }
  for (const FakeWinUsbDevice& d : devices) {
    if (visit(context, d.path, d.descriptor)) return true;
  }
  if (status != 0) return SetLastStatus(status) != 0;
  return true;
}

bool Open(const char* path) {
  std::lock_guard<std::mutex> hold(gFake.lock);
  ++gFake.counters.opens;
  if (gFake.config.openFails) return false;
  for (size_t i = 0; i < gFake.config.devices.size(); ++i) {
    if (gFake.config.devices[i].path != path) continue;
    gFake.openDevice = static_cast<int>(i);
    gFake.lost = false;
    return true;
  }
  return false;
}

bool QueryInterface(uint8_t* endpoints) {
  std::lock_guard<std::mutex> hold(gFake.lock);
  const FakeWinUsbDevice* d = OpenDeviceLocked();
  if (d == nullptr || gFake.config.queryInterfaceFails) return false;
  *endpoints = static_cast<uint8_t>(d->pipes.size());
  return true;
}

bool QueryPipe(uint8_t index, WinUsbPipeInfo* pipe) {
  std::lock_guard<std::mutex> hold(gFake.lock);
  const FakeWinUsbDevice* d = OpenDeviceLocked();
  if (d == nullptr || index >= d->pipes.size()) return false;
  *pipe = d->pipes[index];
  return true;
}

bool SetPipeTimeout(uint8_t, uint32_t milliseconds) {
  std::lock_guard<std::mutex> hold(gFake.lock);
  ++gFake.counters.policyCalls;
  gFake.counters.policyValues.push_back(milliseconds);
  return !gFake.config.policyFails;
}

bool Write(uint8_t pipe, const uint8_t* bytes, uint32_t count, uint32_t* written) {
  Responder responder;
  {
    std::unique_lock<std::mutex> hold(gFake.lock);
    ++gFake.counters.writeCalls;
    gFake.counters.lastWritePipe = pipe;
    if (count == 0) {
      ++gFake.counters.zeroLengthWrites;
      *written = 0;
      return true;
    }
    ++gFake.writesInProgress;
    gFake.changed.notify_all();
    if (gFake.config.holdWrites) {
      gFake.changed.wait_for(hold, std::chrono::seconds(5), [] { return gFake.finishWrite; });
      gFake.finishWrite = false;
    }
    --gFake.writesInProgress;
    if (gFake.config.writeFails || gFake.lost) {
      *written = 0;
      return false;
    }
    gFake.writes.emplace_back(bytes, bytes + count);
    *written = gFake.config.shortTransfer ? count - 1 : count;
    responder = gFake.config.responder;
  }
  if (responder) {
    std::vector<uint8_t> reply;
    bool drop = responder(std::span<const uint8_t>(bytes, count), reply);
    std::lock_guard<std::mutex> hold(gFake.lock);
    gFake.input.insert(gFake.input.end(), reply.begin(), reply.end());
    if (drop) gFake.lost = true;
    if (!reply.empty() || drop) gFake.changed.notify_all();
  }
  return true;
}

UsbReadOutcome Read(uint8_t pipe, uint8_t* buffer, uint32_t capacity, uint32_t* got, UsbHandle) {
  std::unique_lock<std::mutex> hold(gFake.lock);
  ++gFake.counters.readCalls;
  gFake.counters.lastReadCapacity = capacity;
  gFake.counters.lastReadPipe = pipe;
  ++gFake.pendingReads;
  gFake.changed.notify_all();
  gFake.changed.wait(hold, [] { return !gFake.input.empty() || gFake.lost || gFake.stopRaised; });
  --gFake.pendingReads;
  if (gFake.stopRaised) {
    gFake.counters.stopEndedPendingRead = true;
    return UsbReadOutcome::Stopped;
  }
  if (gFake.lost) return UsbReadOutcome::Failed;
  uint32_t n = 0;
  while (!gFake.input.empty() && n < capacity) {
    buffer[n++] = gFake.input.front();
    gFake.input.pop_front();
  }
  *got = n;
  return UsbReadOutcome::Data;
}

void Release() {
  std::lock_guard<std::mutex> hold(gFake.lock);
  ++gFake.counters.releases;
  if (gFake.writesInProgress > 0 || gFake.pendingReads > 0) {
    gFake.counters.releaseDuringTransfer = true;
  }
  gFake.openDevice = -1;
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

constexpr WinUsbDeviceApi kFakeWinUsb = {
    .load = Load,
    .unload = Unload,
    .enumerate = Enumerate,
    .open = Open,
    .queryInterface = QueryInterface,
    .queryPipe = QueryPipe,
    .setPipeTimeout = SetPipeTimeout,
    .write = Write,
    .read = Read,
    .release = Release,
    .createStop = CreateStop,
    .raiseStop = RaiseStop,
    .destroyStop = DestroyStop,
};

}  // namespace

std::vector<uint8_t> DeviceDescriptor(uint16_t vendor, uint16_t product) {
  std::vector<uint8_t> d = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0, 0, 0, 0, 0x00, 0x01, 1, 2, 3, 1};
  d[8] = static_cast<uint8_t>(vendor);
  d[9] = static_cast<uint8_t>(vendor >> 8);
  d[10] = static_cast<uint8_t>(product);
  d[11] = static_cast<uint8_t>(product >> 8);
  return d;
}

void FakeWinUsbInstall(const FakeWinUsbConfig& config) {
  {
    std::lock_guard<std::mutex> hold(gFake.lock);
    gFake.config = config;
    gFake.counters = FakeWinUsbCounters{};
    gFake.writes.clear();
    gFake.input.clear();
    gFake.openDevice = -1;
    gFake.lost = false;
    gFake.stopRaised = false;
    gFake.pendingReads = 0;
    gFake.writesInProgress = 0;
    gFake.finishWrite = false;
  }
  InstallWinUsbDeviceApi(&kFakeWinUsb);
}

void FakeWinUsbUninstall() { InstallWinUsbDeviceApi(nullptr); }

std::vector<std::vector<uint8_t>> FakeWinUsbWrites() {
  std::lock_guard<std::mutex> hold(gFake.lock);
  return gFake.writes;
}

FakeWinUsbCounters FakeWinUsbCountersNow() {
  std::lock_guard<std::mutex> hold(gFake.lock);
  return gFake.counters;
}

void FakeWinUsbInject(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> hold(gFake.lock);
  gFake.input.insert(gFake.input.end(), bytes.begin(), bytes.end());
  gFake.changed.notify_all();
}

void FakeWinUsbLoseConnection() {
  std::lock_guard<std::mutex> hold(gFake.lock);
  gFake.lost = true;
  gFake.changed.notify_all();
}

bool FakeWinUsbWaitReadPending(int timeoutMs) {
  std::unique_lock<std::mutex> hold(gFake.lock);
  return gFake.changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                [] { return gFake.pendingReads > 0 && gFake.input.empty(); });
}

bool FakeWinUsbWaitWriteInProgress(int timeoutMs) {
  std::unique_lock<std::mutex> hold(gFake.lock);
  return gFake.changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                [] { return gFake.writesInProgress > 0; });
}

void FakeWinUsbFinishWrite() {
  std::lock_guard<std::mutex> hold(gFake.lock);
  gFake.finishWrite = true;
  gFake.changed.notify_all();
}

}  // namespace fake
