#include "protocol/transaction.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

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
  if (frame.empty()) return;
  out[outLength++] = frame[0];
  // Copied a run at a time up to each later frame start, which is doubled:
  // a write block is mostly runs, and a byte loop would cost more than the
  // rest of the host's work on it.
  const uint8_t* at = frame.data() + 1;
  const uint8_t* end = frame.data() + frame.size();
  while (at < end) {
    const auto* start =
        static_cast<const uint8_t*>(std::memchr(at, kFrameStart, static_cast<size_t>(end - at)));
    const uint8_t* stop = start != nullptr ? start + 1 : end;
    std::memcpy(out.data() + outLength, at, static_cast<size_t>(stop - at));
    outLength += static_cast<uint32_t>(stop - at);
    if (start != nullptr) out[outLength++] = kFrameStart;
    at = stop;
  }
}

TransferResult Transact(std::span<const uint8_t> frame, int32_t& replyCount, std::span<uint8_t> reply) {
  // The link's own failure decides the outcome; this only leaves a trace.
  if (!LinkState.isOpen) SetLastStatus(kStatusLinkNotOpen);

  // Room for every byte doubled; EscapeFrame writes each byte it uses.
  const size_t room = frame.size() * 2;
  std::unique_ptr<uint8_t[]> wire = std::make_unique_for_overwrite<uint8_t[]>(room);
  uint32_t wireLength = 0;
  EscapeFrame(frame, {wire.get(), room}, wireLength);

  int64_t wanted = replyCount;
  replyCount = 0;
  const bool untilAck = wanted < 0;
  uint64_t limit = static_cast<uint64_t>(untilAck ? -wanted : wanted);
  limit = std::min<uint64_t>(limit, reply.size());

  if (!LinkSend(wire.get(), wireLength)) return TransferResult::SendError;

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
