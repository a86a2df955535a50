// talo-sim's engine: a controller's command interpreter and flash memory.
// Bytes from the host go in, reply bytes come out; the engine does no I/O of
// its own, so every front end (pseudo-terminal, TCP, the USB fake devices of
// the tests) drives the same engine.
//
// Behaviour in brief (engine.cpp holds the tables):
// - Frames are unescaped as the host escapes them: the first byte as it
//   stands, after it AA AA stands for one AA. A lone AA inside a frame ends
//   that frame as truncated and starts a new one.
// - Bytes outside any frame are garbage: logged, counted as a host fault,
//   never answered. A loader frame (AA ...) whose command the loader does not
//   know is answered with kSimReplyUnknown by the loader, ignored by the
//   application; unknown ESC sequences are ignored in every mode. After an
//   unknown command the engine discards bytes up to the next frame start.
// - A command that is known but not acceptable (page out of range, write
//   outside the selected page, no page selected, feature of another family)
//   is answered with NAK and counted as a host fault. A write into bytes not
//   erased since their last write is acknowledged (the controller programs
//   blindly) but counted, and flush and verify are refused until those bytes
//   are erased again; a write refused for its place also fails the flush and
//   verify of that loader session.
// - Flash that was never erased holds the previous firmware, shown as 0x00.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class StartMode { Application, Loader, Silent };

// What a fault does, injected at the k-th occurrence of a command:
// Nak, ChecksumError and Overrun answer 0x15, 0x17, 0x19 instead of the
// reply and leave the command undone; Silence answers nothing and leaves it
// undone; WrongFirstByte carries the command out but sends
// kSimReplyWrongFirstByte in place of the reply's first byte (the reply's
// data still follows); DropLink answers nothing and raises kSimEventDropLink.
enum class FaultKind { Nak, ChecksumError, Overrun, Silence, WrongFirstByte, DropLink };

struct FaultPlan {
  std::string command;  // a name of SimCommandNames(), e.g. "probe", "write", "erase"
  uint32_t occurrence;  // 1-based: the k-th complete frame of that command, in any mode
  FaultKind kind;
};

// One thing the engine saw or did, for the front ends' logs.
enum class SimRecordKind {
  Frame,      // a complete frame: command, frame (unescaped), reply
  Garbage,    // bytes outside any frame
  Truncated,  // a frame cut short by the start of another
  Fault,      // a fault injected by the configuration
  HostFault,  // a host mistake; text says which
  Note,       // mode change, rate change, reboot, line settings ...
};

struct SimRecord {
  SimRecordKind kind;
  std::string command;         // command name, or empty
  std::vector<uint8_t> frame;  // unescaped frame bytes, or the garbage bytes
  std::vector<uint8_t> reply;  // reply bytes as sent (Frame only)
  std::string text;            // human-readable detail
};

using SimLogFn = std::function<void(const SimRecord&)>;

struct SimConfig {
  std::string model = "TXC5110";
  std::string identification = "Talo Simulated Controller V1.00";
  // The name-query answer when it should differ from the model (tests of the
  // host's name matching); none: the model's name.
  std::optional<std::string> nameAnswer;
  std::optional<uint16_t> blockSizeAnswer = 2048;  // none: the query goes unanswered
  StartMode startMode = StartMode::Application;
  uint32_t initialRate = 115200;
  std::vector<FaultPlan> faults;
  // Largest write block the link carrying the engine can move (0: no limit).
  // A longer block is a host fault, since the host was told the link's size.
  uint32_t linkMaxBlock = 0;
  SimLogFn log;  // may be empty
};

// Events that a front end acts on after it has delivered the reply bytes of
// one SimFeed call.
enum SimEvent : uint32_t {
  kSimEventRateChange = 1u << 0,  // the line rate becomes SimCurrentRate() after the reply
  kSimEventReboot = 1u << 1,      // the controller was told to reboot (and acknowledged)
  kSimEventDropLink = 1u << 2,    // a fault asks the front end to drop the link now
};

inline constexpr uint8_t kSimAck = 0x06;
inline constexpr uint8_t kSimNak = 0x15;
inline constexpr uint8_t kSimReplyChecksum = 0x17;
inline constexpr uint8_t kSimReplyOverrun = 0x19;
inline constexpr uint8_t kSimReplyUnknown = 0x3F;         // '?': the loader does not know the command
inline constexpr uint8_t kSimReplyWrongFirstByte = 0x5A;  // injected WrongFirstByte
// The write buffer when the block-size query goes unanswered.
inline constexpr uint32_t kSimDefaultWriteBuffer = 2048;

enum class SimMode { Application, Loader, Silent };

struct SimStats {
  uint32_t frames = 0;        // complete frames decoded
  uint64_t bytesWritten = 0;  // data bytes of acknowledged write blocks
  uint32_t hostFaults = 0;
  uint32_t reboots = 0;
  uint64_t controllerTimeUs = 0;  // modelled time the controller spent busy
};

struct SimEngineState;
struct SimEngine {
  std::unique_ptr<SimEngineState> state;
  SimEngine();
  ~SimEngine();
};

// False (and the engine unusable) when the model is not in the model table
// or a fault names an unknown command; SimConfigError() says why.
bool SimInit(SimEngine& engine, const SimConfig& config);
std::string SimConfigError(const SimEngine& engine);
// Feeds host bytes; appends the reply bytes to `reply`; returns SimEvent bits.
uint32_t SimFeed(SimEngine& engine, const uint8_t* bytes, size_t count, std::vector<uint8_t>& reply);
// The line has been quiet for idleMs: a frame begun more than 100 ms ago
// and still incomplete is dropped as truncated, as a controller's inter-byte
// time-out would. Front ends call it when their poll times out.
void SimLineIdle(SimEngine& engine, uint32_t idleMs);
uint32_t SimCurrentRate(const SimEngine& engine);
SimMode SimCurrentMode(const SimEngine& engine);
// Host faults seen so far (writes into unerased flash, out-of-range pages ...).
uint32_t SimHostFaults(const SimEngine& engine);
// A front end's own finding (wrong line settings ...): counted and logged.
void SimNoteHostFault(SimEngine& engine, std::string_view text);
// Logs a Note record through the configured log.
void SimNote(SimEngine& engine, std::string_view text);
SimStats SimGetStats(const SimEngine& engine);
// The flash contents from the model's base up to the highest byte written.
std::vector<uint8_t> SimFlashImage(const SimEngine& engine);
// The model's flash base (the address of SimFlashImage()[0]).
uint32_t SimFlashBase(const SimEngine& engine);
// One flash byte at an absolute address (0xFF erased, 0x00 never erased).
uint8_t SimFlashByte(const SimEngine& engine, uint32_t address);

// The names that FaultPlan::command and the logs use, in table order.
std::vector<std::string_view> SimCommandNames();
bool SimParseFaultKind(std::string_view name, FaultKind& kind);
// Models the engine knows, in table order.
std::vector<std::string_view> SimModelNames();

}  // namespace sim
