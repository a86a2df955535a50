// What the fake HID and the fake bulk device layers have in common: the
// enumerated devices and the faults of loading and searching, a responder
// that answers each write, a blocking read that ends on input, on a lost
// connection or on the stop signal, and the counters of those steps. Each
// fake (fake_hid.h, fake_winusb.h) adds only what its layer does differently
// and installs its own entry-point table.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

#include "base/status.h"
#include "link/usb/usb_common.h"

namespace fake {

// What answers the host inside a fake USB device (a script, or the talo-sim
// engine): gets the bytes of one report's payload or one transfer, appends
// the reply bytes; returns true when the controller drops the link.
using Responder = std::function<bool(std::span<const uint8_t> sent, std::vector<uint8_t>& reply)>;

template <class Device>
struct FakeUsbConfig {
  std::vector<Device> devices{Device{}};
  int32_t loadStatus = 0;       // non-zero: load records it and fails
  int32_t enumerateStatus = 0;  // non-zero: enumeration records it, after the devices
  Responder responder;          // answers each write; none: silence
};

struct FakeUsbCounters {
  int loads = 0, unloads = 0;
  int writeCalls = 0;
  int readCalls = 0;
  uint32_t lastReadCapacity = 0;
  bool stopEndedPendingRead = false;  // a read was waiting when the stop came
  int stopsCreated = 0, stopsDestroyed = 0;
};

// One fake layer's state. A fake keeps a single instance, since the link
// calls plain functions; the test talks to it through the first group of
// members, the fake's entry points through the second, under `lock`.
template <class Config, class Counters>
class FakeUsb {
 public:
  // ---- the test's side ----

  // What the host wrote, whole, in order (reports or non-empty transfers).
  std::vector<std::vector<uint8_t>> Written() {
    std::lock_guard<std::mutex> hold(lock);
    return written;
  }

  Counters CountersNow() {
    std::lock_guard<std::mutex> hold(lock);
    return counters;
  }

  // Queues bytes as the device would deliver them, unchanged.
  void InjectRaw(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> hold(lock);
    input.insert(input.end(), bytes.begin(), bytes.end());
    changed.notify_all();
  }

  // The next (or current) read fails.
  void LoseConnection() {
    std::lock_guard<std::mutex> hold(lock);
    lost = true;
    changed.notify_all();
  }

  // Waits (bounded) until the reader is blocked in a read with nothing queued.
  bool WaitReadPending(int timeoutMs = 2000) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                            [this] { return pendingReads > 0 && input.empty(); });
  }

  // ---- the device side ----

  std::mutex lock;
  std::condition_variable changed;
  Config config;
  Counters counters;
  std::vector<std::vector<uint8_t>> written;
  std::deque<uint8_t> input;
  int openDevice = -1;
  bool lost = false;
  bool stopRaised = false;
  int pendingReads = 0;

  // A fresh start with `next`: no device open, nothing queued or counted.
  void ResetLocked(const Config& next) {
    config = next;
    counters = Counters{};
    written.clear();
    input.clear();
    openDevice = -1;
    lost = false;
    stopRaised = false;
    pendingReads = 0;
  }

  // Opens the configured device with this path, afresh: its index, or -1.
  int OpenLocked(const char* path) {
    for (size_t i = 0; i < config.devices.size(); ++i) {
      if (config.devices[i].path != path) continue;
      openDevice = static_cast<int>(i);
      lost = false;
      return openDevice;
    }
    return -1;
  }

  const auto* OpenDeviceLocked() const { return openDevice < 0 ? nullptr : &config.devices[openDevice]; }

  bool Load() {
    std::lock_guard<std::mutex> hold(lock);
    ++counters.loads;
    if (config.loadStatus != 0) return SetLastStatus(config.loadStatus) != 0;
    return true;
  }

  void Unload() {
    std::lock_guard<std::mutex> hold(lock);
    ++counters.unloads;
  }

  // Offers the devices to `visit` in order until it takes one; then the
  // configured enumeration failure, if any.
  template <class Visit>
  bool Enumerate(Visit visit) {
    decltype(config.devices) devices;
    int32_t status;
    {
      std::lock_guard<std::mutex> hold(lock);
      devices = config.devices;
      status = config.enumerateStatus;
    }
    for (const auto& d : devices) {
      if (visit(d)) return true;
    }
    if (status != 0) return SetLastStatus(status) != 0;
    return true;
  }

  // Lets the responder (called without the lock) answer `sent`; `queue`
  // adds its reply to the input, lock held.
  template <class Queue>
  void Answer(const Responder& responder, std::span<const uint8_t> sent, Queue queue) {
    if (!responder) return;
    std::vector<uint8_t> reply;
    bool drop = responder(sent, reply);
    std::lock_guard<std::mutex> hold(lock);
    queue(reply);
    if (drop) lost = true;
    // Only news for a reader wakes it: a real device's reader sleeps through
    // the writes that only add to a frame.
    if (!reply.empty() || drop) changed.notify_all();
  }

  // The blocking part of a read: waits until `ready` (lock held), a lost
  // connection or the stop. On Data the caller takes the input it found.
  template <class Ready>
  UsbReadOutcome WaitForInputLocked(std::unique_lock<std::mutex>& hold, uint32_t capacity, Ready ready) {
    ++counters.readCalls;
    counters.lastReadCapacity = capacity;
    ++pendingReads;
    changed.notify_all();
    changed.wait(hold, [&] { return ready() || lost || stopRaised; });
    --pendingReads;
    if (stopRaised) {
      counters.stopEndedPendingRead = true;
      return UsbReadOutcome::Stopped;
    }
    if (lost) return UsbReadOutcome::Failed;
    return UsbReadOutcome::Data;
  }

  UsbHandle CreateStop() {
    std::lock_guard<std::mutex> hold(lock);
    ++counters.stopsCreated;
    stopRaised = false;
    return 300;
  }

  void RaiseStop() {
    std::lock_guard<std::mutex> hold(lock);
    stopRaised = true;
    changed.notify_all();
  }

  void DestroyStop() {
    std::lock_guard<std::mutex> hold(lock);
    ++counters.stopsDestroyed;
  }
};

// The entry points that are alike in both layers' tables, bound to one
// fake's single instance (a table holds plain functions).
template <auto& layer>
struct SharedEntries {
  static bool Load() { return layer.Load(); }
  static void Unload() { layer.Unload(); }
  static UsbHandle CreateStop() { return layer.CreateStop(); }
  static void RaiseStop(UsbHandle) { layer.RaiseStop(); }
  static void DestroyStop(UsbHandle) { layer.DestroyStop(); }
};

}  // namespace fake
