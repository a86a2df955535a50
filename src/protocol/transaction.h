// One exchange with the controller: an escaped frame out, a reply byte (and
// optionally reply data) back.
#pragma once

#include <cstdint>
#include <span>

#include "base/status.h"

enum class TransferResult : uint32_t {
  Ok = 0,
  DataError = 1,        // reply byte 0x15
  SendError = 2,        // LinkSend failed
  ReceiveError = 3,     // LinkReceiveByte failed, not a serial/USB time-out
  OverrunError = 4,     // reply byte 0x19
  TimeoutError = 5,     // LinkReceiveByte failed with kStatusSerialNoData or kStatusUsbNoData
  ChecksumError = 6,    // reply byte 0x17
  InvalidResponse = 7,  // any other first reply byte
};

inline constexpr uint8_t kFrameStart = 0xAA;
inline constexpr uint8_t kAck = 0x06;

// Reply count N selects how reply data is read after the ACK:
//   0   no data;
//   N>0 exactly N data bytes and one closing byte (not examined);
//   N<0 at most -N data bytes, ended early by an ACK that is not stored.
// On return replyCount holds the number of bytes stored in reply. reply must
// hold |N| bytes; a shorter one limits |N| to its size, so nothing is ever
// written past it. Runs under whatever link time-outs are in force.
TransferResult Transact(std::span<const uint8_t> frame, int32_t& replyCount, std::span<uint8_t> reply);

// A transaction without reply data under receive time-out replyTimeoutMs;
// afterwards the standing pair (500, 100) is in force again.
TransferResult SendCommand(std::span<const uint8_t> frame, uint32_t replyTimeoutMs = 500);

// The result of a failed LinkReceiveByte by the status the link recorded:
// time-out for kStatusSerialNoData (serial) and kStatusUsbNoData (USB), receive
// error otherwise.
TransferResult ReceiveFailureResult(StatusCode code);

// "Ok" .. "Invalid response", "Unknown error" for any other value.
const char* TransferResultText(TransferResult result);

// The wire form of a frame: the first byte as it is, every later 0xAA twice.
// `out` must hold twice the frame's length; outLength is the wire length.
void EscapeFrame(std::span<const uint8_t> frame, std::span<uint8_t> out, uint32_t& outLength);
