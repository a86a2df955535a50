#include "protocol/commands.h"

#include <array>
#include <vector>

#include "base/timeouts.h"
#include "link/link.h"
#include "protocol/pause.h"
#include "protocol/transaction.h"

namespace {

enum class Command : uint8_t {
  ApplicationProbe,
  StartLoader,
  LoaderPing,
  QueryIdentification,
  QueryControllerName,
  SetBaudRate,
  Reboot,
  SelectPage8,
  SelectPage16,
  SelectSubPage,
  EraseNandIndex,
  Erase,
  QueryBlockSize,
  Flush,
  Verify,
};

// Receive time-out 0: the command runs under the standing pair through
// Transact directly.
constexpr uint32_t kStanding = 0;

struct CommandShape {
  Command command;
  std::array<uint8_t, 6> head;  // the fixed leading bytes
  uint8_t headLength;
  uint8_t parameterBytes;  // a big-endian parameter follows the head
  uint32_t receiveTimeoutMs;
  uint8_t attempts;
};

// Write block is built apart: its length depends on the data.
constexpr std::array<CommandShape, 15> kCommands = {{
    {Command::ApplicationProbe, {0x1B, 0x7B, 0x21, 0x61}, 4, 0, 100, 2},
    {Command::StartLoader, {0x1B, 0x7B, 0x21, 0x65, 0x4E, 0x64}, 6, 0, 500, 1},
    {Command::LoaderPing, {0xAA, 0x27}, 2, 0, 150, 4},
    {Command::QueryIdentification, {0xAA, 0x3F, 0x49}, 3, 0, 500, 1},
    {Command::QueryControllerName, {0xAA, 0x3F, 0x43}, 3, 0, kStanding, 1},
    {Command::SetBaudRate, {0xAA, 0x49, 0x42, 0x00}, 4, 4, 500, 1},
    {Command::Reboot, {0xAA, 0x23}, 2, 0, 500, 1},
    {Command::SelectPage8, {0xAA, 0x7C, 0x50}, 3, 1, 500, 1},
    {Command::SelectPage16, {0xAA, 0x7C, 0x70}, 3, 2, 500, 3},
    {Command::SelectSubPage, {0xAA, 0x7C, 0x73}, 3, 2, 500, 1},
    {Command::EraseNandIndex, {0xAA, 0x7C, 0x4B}, 3, 0, 5000, 1},
    {Command::Erase, {0xAA, 0x7C, 0x45}, 3, 2, 5000, 1},
    {Command::QueryBlockSize, {0xAA, 0x7C, 0x3F, 0x57}, 4, 0, kStanding, 1},
    {Command::Flush, {0xAA, 0x7C, 0x4C}, 3, 0, 1000, 1},
    {Command::Verify, {0xAA, 0x7C, 0x56}, 3, 0, 10000, 1},
}};

constexpr const CommandShape& ShapeOf(Command command) { return kCommands[static_cast<size_t>(command)]; }

static_assert(
    [] {
      for (size_t i = 0; i < kCommands.size(); ++i)
        if (static_cast<size_t>(kCommands[i].command) != i) return false;
      return true;
    }(),
    "kCommands is indexed by Command");

constexpr uint32_t kPingPauseMs = 100;
constexpr uint32_t kWriteBlockOverhead = 8;  // AA 7C 57, offset, length, check byte

struct Frame {
  std::array<uint8_t, 10> bytes{};
  uint32_t length = 0;
  std::span<const uint8_t> view() const { return {bytes.data(), length}; }
};

Frame BuildFrame(const CommandShape& shape, uint32_t parameter) {
  Frame frame;
  for (uint32_t i = 0; i < shape.headLength; ++i) frame.bytes[frame.length++] = shape.head[i];
  for (int shift = (shape.parameterBytes - 1) * 8; shift >= 0; shift -= 8)
    frame.bytes[frame.length++] = static_cast<uint8_t>(parameter >> shift);
  return frame;
}

// One attempt of a command without reply data.
bool Attempt(const CommandShape& shape, const Frame& frame) {
  return SendCommand(frame.view(), shape.receiveTimeoutMs) == TransferResult::Ok;
}

// A command without reply data, with the retries of its table row.
bool Run(Command command, uint32_t parameter = 0) {
  const CommandShape& shape = ShapeOf(command);
  Frame frame = BuildFrame(shape, parameter);
  for (uint32_t attempt = 0; attempt < shape.attempts; ++attempt)
    if (Attempt(shape, frame)) return true;
  return false;
}

char gIdentification[129];
char gControllerName[21];

// Reads an ACK-terminated text reply into `text` (room for the terminator
// included); nullptr on failure.
const char* QueryText(Command command, std::span<char> text) {
  Frame frame = BuildFrame(ShapeOf(command), 0);
  auto* bytes = reinterpret_cast<uint8_t*>(text.data());
  int32_t count = -static_cast<int32_t>(text.size() - 1);
  if (Transact(frame.view(), count, {bytes, text.size() - 1}) != TransferResult::Ok) return nullptr;
  text[static_cast<size_t>(count)] = '\0';
  return text.data();
}

}  // namespace

bool Handshake() {
  const CommandShape& probe = ShapeOf(Command::ApplicationProbe);
  Frame probeFrame = BuildFrame(probe, 0);
  for (uint32_t attempt = 0; attempt < probe.attempts; ++attempt)
    if (Attempt(probe, probeFrame)) return Run(Command::StartLoader);

  // No application answered: perhaps the loader is running already.
  const CommandShape& ping = ShapeOf(Command::LoaderPing);
  Frame pingFrame = BuildFrame(ping, 0);
  for (uint32_t attempt = 0; attempt < ping.attempts; ++attempt) {
    if (Attempt(ping, pingFrame)) return true;
    Pause(kPingPauseMs);
  }
  return false;
}

const char* QueryIdentification() {
  LinkSetTimeouts(ShapeOf(Command::QueryIdentification).receiveTimeoutMs, kStandingSendMs);
  return QueryText(Command::QueryIdentification, gIdentification);
}

const char* QueryControllerName() { return QueryText(Command::QueryControllerName, gControllerName); }

bool SetControllerBaudRate(uint32_t rate) { return Run(Command::SetBaudRate, rate); }

bool Reboot() { return Run(Command::Reboot); }

bool SelectPage8(uint32_t page) { return Run(Command::SelectPage8, page & 0xFF); }

bool SelectPage16(uint32_t page) { return Run(Command::SelectPage16, page & 0xFFFF); }

bool SelectSubPage(uint32_t subPage) { return Run(Command::SelectSubPage, subPage & 0xFFFF); }

bool EraseNandIndex() { return Run(Command::EraseNandIndex); }

bool ErasePage8(uint32_t page, uint16_t eraseParameter) {
  return SelectPage8(page) && Run(Command::Erase, eraseParameter);
}

bool ErasePage16(uint32_t page) { return SelectPage16(page) && Run(Command::Erase, 0); }

bool WriteBlock(const uint8_t* data, uint32_t n, uint16_t offset) {
  // The length field is 16 bits; a longer block would go out with a wrong
  // length and corrupt the page.
  if (n > 0xFFFF || (n > 0 && data == nullptr)) return false;
  std::vector<uint8_t> frame;
  frame.reserve(n + kWriteBlockOverhead);
  frame.insert(frame.end(),
               {0xAA, 0x7C, 0x57, static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset),
                static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
  frame.insert(frame.end(), data, data + n);
  uint8_t sum = 0;
  for (size_t i = 3; i < frame.size(); ++i) sum = static_cast<uint8_t>(sum + frame[i]);
  frame.push_back(static_cast<uint8_t>(~sum));
  return SendCommand(frame, 500) == TransferResult::Ok;
}

uint16_t QueryMaxBlockSize(uint32_t chipCode) {
  Frame frame = BuildFrame(ShapeOf(Command::QueryBlockSize), 0);
  std::array<uint8_t, 2> reply{};
  int32_t count = 2;
  if (Transact(frame.view(), count, reply) == TransferResult::Ok)
    return static_cast<uint16_t>(reply[0] << 8 | reply[1]);
  return chipCode >= 38 ? 512 : 256;
}

bool Flush() { return Run(Command::Flush); }

bool Verify() { return Run(Command::Verify); }
