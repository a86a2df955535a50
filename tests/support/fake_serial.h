// A scripted serial port behind the real serial link: installed into the
// SerialPortApi seam, so LinkOpen("com1", ...) and every transaction go
// through the real link layer and end here.
//
// Time is virtual. A read with nothing queued returns got=0 at once (the
// link records 0x112, a time-out) and adds the receive time-out in force to
// virtualMs; Pause() of the handshake adds its milliseconds too. So a test can
// check which time-out a miss ran under without waiting for it.
//
// Replies come from, in this order of precedence: a sim engine (UseSim), a
// responder callback, then the per-write script (one entry per write call,
// an entry may be empty). Bytes queued by QueueReply are readable at once.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "engine/engine.h"
#include "link/serial/serial_port.h"

struct FakeWrite {
  std::vector<uint8_t> bytes;  // one write call, as the link handed it over
  uint32_t receiveMs;          // time-outs in force when it was written
  uint32_t sendMs;
};

struct FakeSerialRecord {
  std::vector<FakeWrite> writes;
  std::deque<uint8_t> incoming;
  std::deque<std::vector<uint8_t>> script;
  std::function<std::vector<uint8_t>(std::span<const uint8_t> wire)> responder;

  std::vector<int32_t> configuredRates;  // every configure call's rate
  std::vector<bool> configuredNoCts;
  std::vector<int32_t> refusedRates;  // configure fails for these
  std::vector<size_t> refusedCalls;   // and for these configure calls (1 = the open's)
  bool failWrites = false;
  bool failReads = false;  // a read call error, not a time-out

  SerialTimeouts timeouts{100, 1, 500, 1, 100};
  uint64_t virtualMs = 0;
  std::vector<uint32_t> missTimeouts;  // receive time-out of every read that got nothing
  std::vector<uint32_t> pauses;
  uint32_t opens = 0;
  uint32_t closes = 0;

  // Sim backing: the host's line rate must equal the engine's, or the bytes
  // are lost on the line and nothing answers.
  std::unique_ptr<sim::SimEngine> engine;
  int32_t hostRate = 0;
  bool linkDropped = false;
};

extern FakeSerialRecord FakeSerial;

// Resets the record and installs the fake into the seam (and the pause).
void InstallFakeSerial();
// Puts the system's port and the real pause back.
void RemoveFakeSerial();
// Backs the fake with a talo-sim engine; false when the config is refused.
bool UseSim(const sim::SimConfig& config);
void QueueReply(std::initializer_list<uint8_t> bytes);
void QueueReply(std::span<const uint8_t> bytes);
void ScriptReply(std::vector<uint8_t> bytes);

// A frame as it went on the wire, unescaped (first byte as is, AA AA -> AA).
std::vector<uint8_t> Unescape(std::span<const uint8_t> wire);

// Test scope: resets LinkState and the controller record, installs the fake
// and opens the serial link at 115200 (LinkState.isOpen afterwards); the
// destructor closes the link and undoes it all, so no record leaks into the
// next test.
struct FakeSerialSession {
  explicit FakeSerialSession(bool noCts = false, bool open = true);
  ~FakeSerialSession();
  FakeSerialSession(const FakeSerialSession&) = delete;
  FakeSerialSession& operator=(const FakeSerialSession&) = delete;
};
