#include "link/usb/usb_common.h"

#include <chrono>
#include <system_error>

#include "base/status.h"

bool RingPush(ReceiveRing& ring, uint8_t byte) {
  if (ring.count >= static_cast<int32_t>(ring.storage.size())) return false;
  ring.storage[ring.writeCounter & 0xFF] = byte;
  ++ring.writeCounter;
  ++ring.count;
  return true;
}

bool RingPop(ReceiveRing& ring, uint8_t* byte) {
  if (ring.count == 0) return false;
  *byte = ring.storage[ring.readCounter & 0xFF];
  ++ring.readCounter;
  --ring.count;
  return true;
}

void RingClear(ReceiveRing& ring) { ring = ReceiveRing{}; }

void ReceiverClear(UsbReceiver& receiver) {
  std::lock_guard<std::mutex> hold(receiver.lock);
  RingClear(receiver.ring);
}

void ReceiverPush(UsbReceiver& receiver, const uint8_t* bytes, size_t count) {
  if (count == 0) return;
  {
    std::lock_guard<std::mutex> hold(receiver.lock);
    for (size_t i = 0; i < count; ++i) RingPush(receiver.ring, bytes[i]);
  }
  receiver.pushed.notify_one();
}

bool ReceiverTake(UsbReceiver& receiver, int32_t timeoutMs, uint8_t* byte) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
  std::unique_lock<std::mutex> hold(receiver.lock);
  // The emptiness test is made under the lock too: the ring's count is
  // written by the reader, and a lock-free peek at it would be a data race.
  receiver.pushed.wait_until(hold, deadline, [&] { return receiver.ring.count > 0; });
  return RingPop(receiver.ring, byte);
}

namespace {

struct GateRun {
  UsbReaderThread* reader;
  void (*body)();
  void operator()() const {
    bool run;
    {
      std::unique_lock<std::mutex> hold(reader->gateLock);
      reader->gateOpened.wait(hold, [this] { return reader->released; });
      run = reader->running.load();
    }
    if (run) body();
  }
};

}  // namespace

bool ReaderCreate(UsbReaderThread& reader, void (*body)()) {
  {
    std::lock_guard<std::mutex> hold(reader.gateLock);
    reader.released = false;
  }
  reader.running = false;
  // std::thread reports a failed creation only by throwing (as a vector
  // reports a failed allocation in the bulk link's reader); the exception is
  // turned into a plain result at once.
  try {
    reader.thread = std::thread(GateRun{&reader, body});
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void ReaderRelease(UsbReaderThread& reader) {
  reader.running = true;
  {
    std::lock_guard<std::mutex> hold(reader.gateLock);
    reader.released = true;
  }
  reader.gateOpened.notify_one();
}

void ReaderJoin(UsbReaderThread& reader) {
  if (!reader.thread.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(reader.gateLock);
    reader.released = true;  // a thread never released skips its body
  }
  reader.gateOpened.notify_one();
  reader.thread.join();
  reader.running = false;
}

void UsbSearchBegin(UsbLinkCore& core) {
  core.devicePath.clear();
  SetLastStatus(kStatusNone);
}

bool UsbSearchEnd(UsbLinkCore& core, const std::string& found) {
  if (!found.empty()) {
    core.devicePath = found;
    return true;
  }
  // An enumeration failure has recorded its own status; keep it.
  if (LastStatusCode() == kStatusNone) SetLastStatus(kStatusUsbNoDevice);
  return false;
}

bool UsbKeepPath(void* context, const UsbDeviceNames& names, bool matches) {
  if (!matches || names.path.size() > kMaxUsbDevicePath) return false;
  if (!UsbNameMatches(SelectedUsbDevice(), names)) return false;
  *static_cast<std::string*>(context) = std::string(names.path);
  return true;
}

namespace {

void DestroyStop(UsbLinkCore& core, const UsbStopCalls& stop) {
  if (core.stopSignal != kNoUsbHandle) stop.destroy(core.stopSignal);
  core.stopSignal = kNoUsbHandle;
}

}  // namespace

bool UsbStartReader(UsbLinkCore& core, const UsbStopCalls& stop, void (*body)()) {
  core.stopSignal = stop.create();
  if (core.stopSignal != kNoUsbHandle && ReaderCreate(core.reader, body)) return true;
  SetLastStatus(kStatusUsbReaderStartFailed);
  DestroyStop(core, stop);
  return false;
}

void UsbEndReader(UsbLinkCore& core, const UsbStopCalls& stop) {
  ReaderJoin(core.reader);
  DestroyStop(core, stop);
}

void UsbStopReader(UsbLinkCore& core, const UsbStopCalls& stop, void (*drop)(), void (*release)()) {
  if (core.stopSignal != kNoUsbHandle) stop.raise(core.stopSignal);
  if (drop != nullptr) drop();
  ReaderJoin(core.reader);
  if (release != nullptr) release();
  DestroyStop(core, stop);
}

void UsbSetTimeouts(UsbLinkCore& core, uint32_t receiveMs, uint32_t sendMs) {
  core.receiveTimeout = static_cast<int32_t>(receiveMs);
  core.sendTimeout = sendMs;
}

int UsbReceiveByte(UsbLinkCore& core, uint8_t* byte) {
  if (ReceiverTake(core.receiver, core.receiveTimeout, byte)) return 1;
  return SetLastStatus(kStatusUsbNoData);
}
