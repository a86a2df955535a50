// What the fuzz targets share: a reader over the fuzz input, fakes that
// serve it through the links' seams without ever blocking, image files, and
// a check that aborts with a message (libFuzzer then keeps the input).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

#include "link/ethernet/eth_socket.h"

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// Reads the input from the front, so that the seed generator can write
// inputs field by field. Past the end every read yields zeros.
struct Input {
  std::span<const uint8_t> data;
  size_t at = 0;

  uint8_t Byte() { return at < data.size() ? data[at++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
  uint32_t U32() { return static_cast<uint32_t>(U16()) << 16 | U16(); }
  Bytes Take(size_t count);
  Bytes Rest() { return Take(data.size() - at); }
  size_t Left() const { return data.size() - at; }
};

[[noreturn]] void Fail(const char* what, const char* file, int line);
#define FUZZ_CHECK(condition) ((condition) ? (void)0 : ::fuzz::Fail(#condition, __FILE__, __LINE__))

// Sends stdout to /dev/null: the programming run draws its progress line.
void SilenceStdout();

// An image of `length` bytes for `model`: "zarn", kind 4, the name at 111,
// a pattern, and a last byte that makes the byte sum 0.
Bytes MakeImage(size_t length, const char* model);
// A file in the process's own temporary directory (made on first use,
// removed at exit); returns its path.
std::string WriteTempFile(const std::string& name, std::span<const uint8_t> bytes);
const std::string& TempDirectory();

// The wire form back to the frame: first byte as is, AA AA -> AA. false
// when a lone AA follows the first byte (not a frame this program escaped).
bool Unescape(std::span<const uint8_t> wire, Bytes& frame);

// Serial port fake: every read takes the next byte of `incoming`; with
// nothing left a read times out (got 0) or fails, at once.
struct FakeSerialRecord {
  std::deque<uint8_t> incoming;
  std::vector<Bytes> writes;
  bool failReadsAtEnd = false;
  bool failWrites = false;
  uint32_t reads = 0;
  uint32_t misses = 0;  // reads that found nothing
  uint32_t pauses = 0;
};
extern FakeSerialRecord FakeSerial;
// Resets the record, installs the fake port and a pause that only counts.
void InstallFakeSerial();

// Socket fake. UDP: a queue of events served to waitReadable/receiveFrom.
// TCP: a byte stream of blocks; one receive delivers at most the rest of the
// current block. An exhausted queue answers a wait with "time passed".
enum class EventKind : uint8_t {
  Data,   // a datagram, or a block of the stream
  Quiet,  // the wait passes without data
  WaitFails,
  Closed,  // TCP: the peer closed (receive 0); UDP: an empty datagram
  ReceiveFails,
};
struct SocketEvent {
  EventKind kind;
  Bytes bytes;
  EthEndpoint from{};  // UDP only
};
struct FakeSocketRecord {
  std::deque<SocketEvent> udp;
  std::deque<SocketEvent> tcp;
  size_t tcpBlockAt = 0;  // bytes of the front TCP block already delivered
  bool startupFails = false;
  bool connectFails = false;
  uint32_t startups = 0;
  uint32_t opens = 0;
  uint32_t closes = 0;
  uint32_t connects = 0;
  EthEndpoint connectedTo{};
  uint32_t udpWaits = 0;
  uint32_t tcpWaits = 0;
  std::vector<uint32_t> tcpWaitMs;
  Bytes sentTcp;  // every TCP send, concatenated
  // Every TCP receive's bytes, with the length of sentTcp at that moment.
  std::vector<std::pair<Bytes, size_t>> delivered;
  uint32_t tcpSends = 0;
  uint32_t broadcasts = 0;
};
extern FakeSocketRecord FakeSocket;
void InstallFakeSockets();
inline constexpr EthSocket kFakeUdpSocket = 11;
inline constexpr EthSocket kFakeTcpSocket = 12;

// USB fakes that find no device at all (for runs that only must fail).
void InstallEmptyUsb();

// CRC-32 (IEEE 802.3) bit by bit, to hold the link's table-driven one to.
uint32_t ReferenceCrc32(std::span<const uint8_t> bytes);

// Everything process-wide back to its initial state, fakes in place.
void ResetProcessState();

}  // namespace fuzz
