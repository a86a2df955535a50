#include "support/fake_winusb.h"

#include "support/system_error.h"

namespace fake {

FakeWinUsb winusb;

namespace {

using Shared = SharedEntries<winusb>;

bool Enumerate(WinUsbVisit visit, void* context) {
  return winusb.Enumerate([&](const FakeWinUsbDevice& d) {
    return visit(context, UsbDeviceNames{.path = d.path, .location = d.location, .serial = d.serial},
                 d.descriptor);
  });
}

bool Open(const char* path) {
  std::lock_guard<std::mutex> hold(winusb.lock);
  ++winusb.counters.opens;
  return !winusb.config.openFails && winusb.OpenLocked(path) >= 0;
}

bool QueryInterface(uint8_t* endpoints) {
  std::lock_guard<std::mutex> hold(winusb.lock);
  const FakeWinUsbDevice* d = winusb.OpenDeviceLocked();
  if (d == nullptr || winusb.config.queryInterfaceFails) return false;
  *endpoints = static_cast<uint8_t>(d->pipes.size());
  return true;
}

bool QueryPipe(uint8_t index, WinUsbPipeInfo* pipe) {
  std::lock_guard<std::mutex> hold(winusb.lock);
  const FakeWinUsbDevice* d = winusb.OpenDeviceLocked();
  if (d == nullptr || index >= d->pipes.size()) return false;
  *pipe = d->pipes[index];
  return true;
}

bool SetPipeTimeout(uint8_t, uint32_t milliseconds) {
  std::lock_guard<std::mutex> hold(winusb.lock);
  ++winusb.counters.policyCalls;
  winusb.counters.policyValues.push_back(milliseconds);
  return !winusb.config.policyFails;
}

bool Write(uint8_t pipe, const uint8_t* bytes, uint32_t count, uint32_t* written) {
  Responder responder;
  {
    std::unique_lock<std::mutex> hold(winusb.lock);
    ++winusb.counters.writeCalls;
    winusb.counters.lastWritePipe = pipe;
    if (count == 0) {
      ++winusb.counters.zeroLengthWrites;
      *written = 0;
      return true;
    }
    ++winusb.writesInProgress;
    if (winusb.config.holdWrites) {
      // Only a test that holds writes waits to see one in progress; waking
      // the reader here would cost every write a wake-up that no real OUT
      // transfer causes.
      winusb.changed.notify_all();
      winusb.changed.wait_for(hold, std::chrono::seconds(5), [] { return winusb.finishWrite; });
      winusb.finishWrite = false;
    }
    --winusb.writesInProgress;
    if (winusb.config.writeFails || winusb.lost) {
      *written = 0;
      return false;
    }
    winusb.written.emplace_back(bytes, bytes + count);
    *written = winusb.config.shortTransfer ? count - 1 : count;
    if (winusb.config.staleError) LeaveSystemError();
    responder = winusb.config.responder;
  }
  winusb.Answer(responder, std::span<const uint8_t>(bytes, count), [](const std::vector<uint8_t>& reply) {
    winusb.input.insert(winusb.input.end(), reply.begin(), reply.end());
  });
  return true;
}

// Hands over whatever is queued, up to the transfer's size.
UsbReadOutcome Read(uint8_t pipe, uint8_t* buffer, uint32_t capacity, uint32_t* got, UsbHandle) {
  std::unique_lock<std::mutex> hold(winusb.lock);
  winusb.counters.lastReadPipe = pipe;
  UsbReadOutcome outcome = winusb.WaitForInputLocked(hold, capacity, [] { return !winusb.input.empty(); });
  if (outcome != UsbReadOutcome::Data) return outcome;
  uint32_t n = 0;
  while (!winusb.input.empty() && n < capacity) {
    buffer[n++] = winusb.input.front();
    winusb.input.pop_front();
  }
  *got = n;
  return UsbReadOutcome::Data;
}

void Release() {
  std::lock_guard<std::mutex> hold(winusb.lock);
  ++winusb.counters.releases;
  if (winusb.writesInProgress > 0 || winusb.pendingReads > 0) {
    winusb.counters.releaseDuringTransfer = true;
  }
  winusb.openDevice = -1;
}

constexpr WinUsbDeviceApi kFakeWinUsb = {
    .load = Shared::Load,
    .unload = Shared::Unload,
    .enumerate = Enumerate,
    .open = Open,
    .queryInterface = QueryInterface,
    .queryPipe = QueryPipe,
    .setPipeTimeout = SetPipeTimeout,
    .write = Write,
    .read = Read,
    .release = Release,
    .createStop = Shared::CreateStop,
    .raiseStop = Shared::RaiseStop,
    .destroyStop = Shared::DestroyStop,
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

void FakeWinUsb::Install(const FakeWinUsbConfig& next) {
  {
    std::lock_guard<std::mutex> hold(lock);
    ResetLocked(next);
    writesInProgress = 0;
    finishWrite = false;
  }
  InstallWinUsbDeviceApi(&kFakeWinUsb);
}

const WinUsbDeviceApi& WinUsbTable() { return kFakeWinUsb; }

void FakeWinUsb::Uninstall() { InstallWinUsbDeviceApi(nullptr); }

bool FakeWinUsb::WaitWriteInProgress(int timeoutMs) {
  std::unique_lock<std::mutex> hold(lock);
  return changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                          [this] { return writesInProgress > 0; });
}

void FakeWinUsb::FinishWrite() {
  std::lock_guard<std::mutex> hold(lock);
  finishWrite = true;
  changed.notify_all();
}

}  // namespace fake
