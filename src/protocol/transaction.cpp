#include "protocol/transaction.h"

#include <algorithm>
#include <array>
#include <vector>

#include "base/status.h"
#include "base/timeouts.h"
#include "link/link.h"

namespace {

constexpr std::array<const char*, 8> kResultTexts = {
    "Ok",
    "Data error",
    "System send error",
    "System receive error",
    "Data overrun error",
    "Timeout error",
    "Checksum error",
    "Invalid response",
};

struct ReplyByteMeaning {
  uint8_t byte;
  TransferResult result;
};

// First reply bytes other than the ACK; anything else is an invalid response.
constexpr std::array<ReplyByteMeaning, 3> kRefusals = {{
    {0x15, TransferResult::DataError},
    {0x17, TransferResult::ChecksumError},
    {0x19, TransferResult::OverrunError},
}};

// The statuses the serial and USB links record when a byte simply did not
// come in time; every other receive failure is a system receive error.
constexpr std::array<StatusCode, 2> kTimeoutStatuses = {kStatusSerialNoData, kStatusUsbNoData};

}  // namespace

TransferResult ReceiveFailureResult(StatusCode code) {
  return std::find(kTimeoutStatuses.begin(), kTimeoutStatuses.end(), code) != kTimeoutStatuses.end()
             ? TransferResult::TimeoutError
             : TransferResult::ReceiveError;
}

namespace {

TransferResult ReceiveFailure() { return ReceiveFailureResult(LastStatusCode()); }

TransferResult ClassifyFirstByte(uint8_t byte) {
  if (byte == kAck) return TransferResult::Ok;
  for (const ReplyByteMeaning& r : kRefusals)
    if (r.byte == byte) return r.result;
  return TransferResult::InvalidResponse;
}

}  // namespace

void EscapeFrame(std::span<const uint8_t> frame, std::span<uint8_t> out, uint32_t& outLength) {
  outLength = 0;
  for (size_t i = 0; i < frame.size(); ++i) {
    out[outLength++] = frame[i];
    if (i > 0 && frame[i] == kFrameStart) out[outLength++] = kFrameStart;
  }
}

TransferResult Transact(std::span<const uint8_t> frame, int32_t& replyCount, std::span<uint8_t> reply) {
  // The link's own failure decides the outcome; this only leaves a trace.
  if (!LinkState.isOpen) SetLastStatus(kStatusLinkNotOpen);

  std::vector<uint8_t> wire(frame.size() * 2);
  uint32_t wireLength = 0;
  EscapeFrame(frame, wire, wireLength);

  int64_t wanted = replyCount;
  replyCount = 0;
  const bool untilAck = wanted < 0;
  uint64_t limit = static_cast<uint64_t>(untilAck ? -wanted : wanted);
  limit = std::min<uint64_t>(limit, reply.size());

  if (!LinkSend(wire.data(), wireLength)) return TransferResult::SendError;

  uint8_t byte = 0;
  if (!LinkReceiveByte(&byte)) return ReceiveFailure();
  TransferResult first = ClassifyFirstByte(byte);
  if (first != TransferResult::Ok || limit == 0) return first;

  for (uint64_t i = 0; i < limit; ++i) {
    if (!LinkReceiveByte(&byte)) return ReceiveFailure();
    if (untilAck && byte == kAck) return TransferResult::Ok;
    reply[static_cast<size_t>(replyCount)] = byte;
    ++replyCount;
  }
  if (!untilAck && !LinkReceiveByte(&byte)) return ReceiveFailure();
  return TransferResult::Ok;
}

TransferResult SendCommand(std::span<const uint8_t> frame, uint32_t replyTimeoutMs) {
  LinkSetTimeouts(replyTimeoutMs, kStandingSendMs);
  int32_t count = 0;
  TransferResult result = Transact(frame, count, {});
  if (replyTimeoutMs != kStandingReceiveMs) LinkSetTimeouts(kStandingReceiveMs, kStandingSendMs);
  return result;
}

const char* TransferResultText(TransferResult result) {
  auto index = static_cast<uint32_t>(result);
  return index < kResultTexts.size() ? kResultTexts[index] : "Unknown error";
}
