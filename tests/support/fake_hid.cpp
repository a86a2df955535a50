#include "support/fake_hid.h"

#include <algorithm>

#include "support/system_error.h"

namespace fake {

FakeHid hid;

uint16_t FakeHid::InputLengthLocked() const {
  const FakeHidDevice* d = OpenDeviceLocked();
  return d == nullptr ? 65 : d->inputLength;
}

void FakeHid::QueuePayloadLocked(const std::vector<uint8_t>& bytes) {
  const uint16_t length = InputLengthLocked();
  const size_t room = length - 2;
  for (size_t at = 0; at < bytes.size(); at += room) {
    size_t n = std::min(room, bytes.size() - at);
    input.push_back(0);
    input.push_back(static_cast<uint8_t>(n));
    for (size_t i = 0; i < room; ++i) input.push_back(i < n ? bytes[at + i] : 0);
  }
}

namespace {

using Shared = SharedEntries<hid>;

bool Enumerate(HidVisit visit, void* context) {
  const bool stale = hid.config.staleError;
  return hid.Enumerate([&](const FakeHidDevice& d) {
    if (stale) LeaveSystemError();
    return visit(context, UsbDeviceNames{.path = d.path, .location = d.location, .serial = d.serial},
                 d.product);
  });
}

UsbHandle OpenWrite(const char* path, uint16_t* inputLength, uint16_t* outputLength) {
  std::lock_guard<std::mutex> hold(hid.lock);
  ++hid.counters.openWrites;
  if (hid.config.openWriteFails) return kNoUsbHandle;
  const int i = hid.OpenLocked(path);
  if (i < 0) return kNoUsbHandle;
  *inputLength = hid.config.devices[i].inputLength;
  *outputLength = hid.config.devices[i].outputLength;
  hid.failuresLeft = hid.config.failingWrites;
  return 100 + i;
}

HidWriteOutcome Write(UsbHandle, const uint8_t* report, uint32_t length, uint32_t* written, uint32_t) {
  Responder responder;
  std::vector<uint8_t> payload;
  {
    std::lock_guard<std::mutex> hold(hid.lock);
    ++hid.counters.writeCalls;
    if (hid.failuresLeft != 0 && hid.config.failKind != HidWriteOutcome::Written) {
      if (hid.failuresLeft > 0) --hid.failuresLeft;
      return hid.config.failKind;
    }
    hid.written.emplace_back(report, report + length);
    *written = hid.config.shortWrite ? length - 1 : length;
    uint32_t n = length >= 2 ? report[1] : 0;
    if (n > length - 2) n = length - 2;
    payload.assign(report + 2, report + 2 + n);
    responder = hid.config.responder;
  }
  hid.Answer(responder, payload, [](const std::vector<uint8_t>& reply) { hid.QueuePayloadLocked(reply); });
  return HidWriteOutcome::Written;
}

void CloseWrite(UsbHandle) {
  std::lock_guard<std::mutex> hold(hid.lock);
  ++hid.counters.closeWrites;
}

UsbHandle OpenRead(const char*, uint16_t) {
  std::lock_guard<std::mutex> hold(hid.lock);
  ++hid.counters.openReads;
  return hid.config.openReadFails ? kNoUsbHandle : 200;
}

// Hands over whole input reports only, as many as fit.
UsbReadOutcome Read(UsbHandle, uint8_t* buffer, uint32_t capacity, uint32_t* got, UsbHandle) {
  std::unique_lock<std::mutex> hold(hid.lock);
  UsbReadOutcome outcome =
      hid.WaitForInputLocked(hold, capacity, [] { return hid.input.size() >= hid.InputLengthLocked(); });
  if (outcome != UsbReadOutcome::Data) return outcome;
  const uint16_t length = hid.InputLengthLocked();
  uint32_t n = 0;
  while (hid.input.size() >= length && n + length <= capacity) {
    for (uint16_t i = 0; i < length; ++i) {
      buffer[n++] = hid.input.front();
      hid.input.pop_front();
    }
  }
  *got = n;
  return UsbReadOutcome::Data;
}

void CloseRead(UsbHandle) {
  std::lock_guard<std::mutex> hold(hid.lock);
  ++hid.counters.closeReads;
  if (hid.pendingReads > 0) hid.counters.closeReadWhilePending = true;
}

constexpr HidDeviceApi kFakeHid = {
    .load = Shared::Load,
    .unload = Shared::Unload,
    .enumerate = Enumerate,
    .openWrite = OpenWrite,
    .write = Write,
    .closeWrite = CloseWrite,
    .openRead = OpenRead,
    .read = Read,
    .closeRead = CloseRead,
    .createStop = Shared::CreateStop,
    .raiseStop = Shared::RaiseStop,
    .destroyStop = Shared::DestroyStop,
};

}  // namespace

void FakeHid::Install(const FakeHidConfig& next) {
  {
    std::lock_guard<std::mutex> hold(lock);
    ResetLocked(next);
    failuresLeft = next.failingWrites;
  }
  InstallHidDeviceApi(&kFakeHid);
}

const HidDeviceApi& HidTable() { return kFakeHid; }

void FakeHid::Uninstall() { InstallHidDeviceApi(nullptr); }

void FakeHid::InjectPayload(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> hold(lock);
  QueuePayloadLocked(bytes);
  changed.notify_all();
}

}  // namespace fake
