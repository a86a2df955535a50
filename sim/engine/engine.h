// talo-sim's engine: a controller's command interpreter and flash memory.
// Bytes from the host go in, reply bytes come out; the engine does no I/O of
// its own, so every front end (pseudo-terminal, TCP, the USB fake devices of
// the tests) drives the same engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class StartMode { Application, Loader, Silent };

// What a fault does, injected at the k-th occurrence of a command.
enum class FaultKind { Nak, ChecksumError, Overrun, Silence, WrongFirstByte, DropLink };

struct FaultSpec {
  std::string command;  // command name, e.g. "probe", "write", "erase", "flush" (see engine.cpp)
  uint32_t occurrence;  // 1-based
  FaultKind kind;
};

struct SimConfig {
  std::string model = "TXC5110";
  std::string identification = "Talo Simulated Controller V1.00";
  std::optional<uint16_t> blockSizeAnswer = 2048;  // none: the query goes unanswered
  StartMode startMode = StartMode::Application;
  uint32_t initialRate = 115200;
  std::vector<FaultSpec> faults;
};

// Events that a front end acts on after it has delivered the reply bytes of
// one SimFeed call.
enum SimEvent : uint32_t {
  kSimEventRateChange = 1u << 0,  // the line rate becomes SimCurrentRate() after the reply
  kSimEventReboot = 1u << 1,      // the controller was told to reboot (and acknowledged)
  kSimEventDropLink = 1u << 2,    // a fault asks the front end to drop the link now
};

struct SimEngineState;
struct SimEngine {
  std::unique_ptr<SimEngineState> state;
  SimEngine();
  ~SimEngine();
};

void SimInit(SimEngine& engine, const SimConfig& config);
// Feeds host bytes; appends the reply bytes to `reply`; returns SimEvent bits.
uint32_t SimFeed(SimEngine& engine, const uint8_t* bytes, size_t count, std::vector<uint8_t>& reply);
uint32_t SimCurrentRate(const SimEngine& engine);
// Host faults seen so far (writes into unerased flash, out-of-range pages ...).
uint32_t SimHostFaults(const SimEngine& engine);
// The flash contents from the model's base up to the highest byte written.
std::vector<uint8_t> SimFlashImage(const SimEngine& engine);

}  // namespace sim
