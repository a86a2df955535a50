// What the two USB links share: the receive ring, the lock and wake-up
// around it, the reader thread's start gate, and the handle and read-outcome
// types of the device layers.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "base/status.h"
#include "link/usb/usb_select.h"

// A device layer's handle: a file descriptor, a Win32 HANDLE, the address of
// a layer's stop flag, or a fake's number; always the thing the layer acts
// on. kNoUsbHandle is the one value that means "none".
using UsbHandle = intptr_t;
inline constexpr UsbHandle kNoUsbHandle = -1;

// How a device layer's blocking read ended.
enum class UsbReadOutcome {
  Data,     // bytes arrived (got may be 0 on a zero-length transfer)
  Stopped,  // the stop signal was raised; no read is pending any more
  Failed,   // the device failed or went away; the error number is left set
};

// 256 received bytes not yet taken. The counters only grow; a counter's low
// eight bits address its slot. Unsigned, so that they wrap cleanly.
struct ReceiveRing {
  std::array<uint8_t, 256> storage{};
  uint32_t writeCounter = 0;
  uint32_t readCounter = 0;
  int32_t count = 0;
};

// Both with the receiver's lock held. RingPush drops the byte and returns
// false when the ring is full; RingPop returns false when it is empty.
bool RingPush(ReceiveRing& ring, uint8_t byte);
bool RingPop(ReceiveRing& ring, uint8_t* byte);
void RingClear(ReceiveRing& ring);

// One link's receive side. The reader pushes under `lock` and notifies
// `pushed`; the main thread waits on it instead of polling.
struct UsbReceiver {
  std::mutex lock;
  std::condition_variable pushed;
  ReceiveRing ring;
};

void ReceiverClear(UsbReceiver& receiver);
// Pushes `count` bytes (dropping what does not fit) and wakes a waiting
// receive.
void ReceiverPush(UsbReceiver& receiver, const uint8_t* bytes, size_t count);
// Takes the oldest byte, waiting at most timeoutMs for one to arrive; false
// when the deadline passed with the ring still empty.
bool ReceiverTake(UsbReceiver& receiver, int32_t timeoutMs, uint8_t* byte);

// The reader thread of a link. It is created held at a gate and runs its
// body only once the open releases it, so that everything the reader reads
// is in place first. `running` is raised by the open before the release and
// cleared by the reader as it ends.
struct UsbReaderThread {
  std::thread thread;
  std::mutex gateLock;
  std::condition_variable gateOpened;
  bool released = false;
  std::atomic<bool> running{false};
};

// Creates the thread held at the gate; false when no thread could be made.
bool ReaderCreate(UsbReaderThread& reader, void (*body)());
// Raises `running` and lets the thread run its body.
void ReaderRelease(UsbReaderThread& reader);
// Waits for the thread to end (releasing a gate that was never opened, in
// which case the body is skipped). A no-op without a thread.
void ReaderJoin(UsbReaderThread& reader);

// Longest device path a link keeps; a longer one is passed over, never cut
// short.
inline constexpr size_t kMaxUsbDevicePath = 259;

// What both USB links keep beside their device: the path the search found,
// the time-outs, the receive side with its reader thread, and the reader's
// stop signal.
struct UsbLinkCore {
  std::string devicePath;
  int32_t receiveTimeout = 500;
  uint32_t sendTimeout = 100;
  UsbHandle stopSignal = kNoUsbHandle;
  UsbReaderThread reader;
  UsbReceiver receiver;
};

// A device layer's stop-signal calls (both layers have these three).
struct UsbStopCalls {
  UsbHandle (*create)();
  void (*raise)(UsbHandle stop);
  void (*destroy)(UsbHandle stop);
};

// A device search starts with no path and no status recorded ...
void UsbSearchBegin(UsbLinkCore& core);
// ... and ends with the path found (empty: none), or false with
// kStatusUsbNoDevice unless the enumeration recorded a failure of its own.
bool UsbSearchEnd(UsbLinkCore& core, const std::string& found);

// For a layer's device visit: a device that matched, is the one this run's
// selection names (any, when none) and whose path fits is kept in the
// std::string at `context`; true then, which ends the walk.
bool UsbKeepPath(void* context, const UsbDeviceNames& names, bool matches);

// The device search of both links: the layer's support loaded, its devices
// walked with `visit` (which keeps the first fit through UsbKeepPath).
template <typename DeviceApi, typename Visit>
bool UsbFindDevice(UsbLinkCore& core, const DeviceApi& api, Visit visit) {
  UsbSearchBegin(core);
  if (!api.load()) return false;
  std::string found;
  api.enumerate(visit, &found);
  return UsbSearchEnd(core, found);
}

// Creates the stop signal and the reader thread held at its gate; on failure
// records kStatusUsbReaderStartFailed and leaves neither behind.
bool UsbStartReader(UsbLinkCore& core, const UsbStopCalls& stop, void (*body)());
// Joins a reader that has ended (or never ran) and destroys its stop signal.
void UsbEndReader(UsbLinkCore& core, const UsbStopCalls& stop);
// The close of both links, in this order: the stop signal raised; `drop`,
// what the link gives up while its reader may still run; the reader
// joined; `release`, what must wait for the reader's end; the signal
// destroyed. Either step may be nullptr.
void UsbStopReader(UsbLinkCore& core, const UsbStopCalls& stop, void (*drop)(), void (*release)());

// The reader thread's loop: reads from `source` until the stop signal ends a
// read (true) or the device fails (false, kStatusUsbConnectionLost
// recorded), handing each read's bytes to `take`, never more than asked for.
template <typename Source, typename Take>
bool UsbReadUntilStopped(UsbLinkCore& core,
                         UsbReadOutcome (*read)(Source, uint8_t*, uint32_t, uint32_t*, UsbHandle),
                         Source source, uint8_t* buffer, uint32_t ask, Take take) {
  for (;;) {
    uint32_t got = 0;
    const UsbReadOutcome outcome = read(source, buffer, ask, &got, core.stopSignal);
    if (outcome == UsbReadOutcome::Stopped) return true;
    if (outcome == UsbReadOutcome::Failed) {
      SetLastStatus(kStatusUsbConnectionLost);
      return false;
    }
    take(static_cast<const uint8_t*>(buffer), got < ask ? got : ask);
  }
}

void UsbSetTimeouts(UsbLinkCore& core, uint32_t receiveMs, uint32_t sendMs);
// The oldest received byte within the receive time-out, else kStatusUsbNoData.
int UsbReceiveByte(UsbLinkCore& core, uint8_t* byte);
