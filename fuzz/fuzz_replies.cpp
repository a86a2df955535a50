// Controller replies: each command, and a whole programming run, reading
// its reply from arbitrary bytes over the real serial link and a fake port.
//
// Input: command (1 byte), link behaviour (1 byte: bit 0 a read error
// instead of a time-out once the bytes run out, bit 1 writes fail), the
// command's parameters (see Run below), then the reply bytes.
//
// Beyond crash-freedom: every frame goes out in one write and unescapes to
// a frame that starts with AA or ESC; no transaction stores more than its
// buffer or its count allows; reply texts stay within their buffers and are
// the bytes that came in; a run that writes anything has passed the name
// query and the file check, and a run reported as done has sent every image
// byte, in order, in write frames with a correct check byte. Nothing waits:
// a read that finds nothing returns at once, and each transaction gives up
// at its first miss.
#include <array>
#include <cstring>
#include <memory>

#include "base/status.h"
#include "flash/controller.h"
#include "flash/program.h"
#include "fuzz_support.h"
#include "link/link.h"
#include "protocol/commands.h"
#include "protocol/transaction.h"

namespace {

using fuzz::Bytes;
using fuzz::FakeSerial;

struct ImageFile {
  const char* model;
  size_t length;
  bool wrapped;
  std::string path;
  Bytes image;
};

// One image per model, a few spanning more than one page or block.
std::array<ImageFile, 11> gImages = {{
    {"TXM9410", 700, false, {}, {}},
    {"TXC7390", 600, false, {}, {}},
    {"TXC7380", 900, true, {}, {}},
    {"TXC7350", 300, false, {}, {}},
    {"TXC7320", 300, false, {}, {}},
    {"TXC6260", 5000, false, {}, {}},
    {"TXC5110", 1500, false, {}, {}},
    {"TXC5130", 200, true, {}, {}},
    {"TXC5150", 129, false, {}, {}},
    {"TXC9999", 400, false, {}, {}},          // any other name: fits family 1
    {"TXC6260", 0x5D000 + 1, false, {}, {}},  // one byte over the limit
}};

Bytes Wrap(const Bytes& image) {
  Bytes file(112, 0);
  std::memcpy(file.data(), "mifo-ovx", 9);
  auto le32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) file[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  le32(9, 1);
  le32(13, 112);
  file[17] = 4;
  le32(18, 112);
  le32(22, static_cast<uint32_t>(image.size()));
  file.insert(file.end(), image.begin(), image.end());
  file.insert(file.end(), {'m', 'i', 'f', 'o'});
  return file;
}

bool IsFrameStart(uint8_t b) { return b == 0xAA || b == 0x1B; }

// Every write is one whole escaped frame; returns the frames. A command's
// frame starts with AA or ESC (a raw transaction's may start with anything).
std::vector<Bytes> Frames(bool commandFrames = true) {
  std::vector<Bytes> frames;
  for (const Bytes& wire : FakeSerial.writes) {
    Bytes frame;
    FUZZ_CHECK(!wire.empty() && (!commandFrames || IsFrameStart(wire[0])));
    FUZZ_CHECK(fuzz::Unescape(wire, frame));
    frames.push_back(std::move(frame));
  }
  return frames;
}

bool IsWriteBlock(const Bytes& f) { return f.size() >= 8 && f[0] == 0xAA && f[1] == 0x7C && f[2] == 0x57; }

// The payload of a write frame; checks its length field and check byte.
Bytes WritePayload(const Bytes& f) {
  uint32_t n = static_cast<uint32_t>(f[5]) << 8 | f[6];
  FUZZ_CHECK(f.size() == n + 8);
  uint8_t sum = 0;
  for (size_t i = 3; i < f.size(); ++i) sum = static_cast<uint8_t>(sum + f[i]);
  FUZZ_CHECK(sum == 0xFF);
  return Bytes(f.begin() + 7, f.end() - 1);
}

struct TransactParams {
  Bytes frame;
  int32_t wanted = 0;
  size_t room = 0;
};

TransactParams ReadTransactParams(fuzz::Input& in) {
  TransactParams t;
  t.frame = in.Take(1 + in.Byte() % 24);
  if (t.frame.empty()) t.frame.push_back(0xAA);
  t.wanted = static_cast<int16_t>(in.U16()) % 300;
  uint8_t roomPick = in.Byte();
  t.room = roomPick < 0x80 ? static_cast<size_t>(t.wanted < 0 ? -t.wanted : t.wanted) : roomPick % 64;
  return t;
}

void CheckTransact(const TransactParams& t, const Bytes& reply) {
  // Exactly as large as promised, so that one byte past it is a finding.
  auto buffer = std::make_unique<uint8_t[]>(t.room);
  int32_t count = t.wanted;
  TransferResult result = Transact(t.frame, count, {buffer.get(), t.room});
  const size_t asked = static_cast<size_t>(t.wanted < 0 ? -t.wanted : t.wanted);
  FUZZ_CHECK(static_cast<uint32_t>(result) <= 7);
  FUZZ_CHECK(count >= 0 && static_cast<size_t>(count) <= std::min(t.room, asked));
  FUZZ_CHECK(FakeSerial.writes.size() <= 1);
  // The stored bytes are the ones after the first reply byte, in order.
  FUZZ_CHECK(count == 0 || reply.size() >= 1 + static_cast<size_t>(count));
  if (count > 0) FUZZ_CHECK(std::memcmp(buffer.get(), reply.data() + 1, static_cast<size_t>(count)) == 0);
  if (t.wanted < 0)
    for (int32_t i = 0; i < count; ++i) FUZZ_CHECK(buffer[static_cast<size_t>(i)] != 0x06);
  if (result == TransferResult::Ok) {
    FUZZ_CHECK(!reply.empty() && reply[0] == 0x06);
    if (t.wanted > 0) FUZZ_CHECK(static_cast<size_t>(count) == std::min(t.room, asked));
  }
}

void CheckText(const char* text, size_t limit, const Bytes& reply) {
  if (text == nullptr) return;
  size_t length = std::strlen(text);
  FUZZ_CHECK(length <= limit);
  FUZZ_CHECK(reply.size() > length && std::memcmp(text, reply.data() + 1, length) == 0);
}

void CheckProgramRun(uint8_t imagePick, uint8_t ratePick) {
  ImageFile& image = gImages[imagePick % gImages.size()];
  static constexpr std::array<int32_t, 5> kUploadRates = {0, 115200, 460800, 9600, -1};
  int32_t uploadRate = kUploadRates[ratePick % kUploadRates.size()];
  SetLastStatus(0);
  int ok = ProgramFlash(image.path.c_str(), 115200, uploadRate);
  StatusCode status = LastStatusCode();

  std::vector<Bytes> frames = Frames();
  Bytes written;
  bool flushed = false;
  bool verified = false;
  for (const Bytes& f : frames) {
    if (IsWriteBlock(f)) {
      Bytes payload = WritePayload(f);
      FUZZ_CHECK(!payload.empty() && payload.size() <= LinkState.maxBlockSize);
      written.insert(written.end(), payload.begin(), payload.end());
    }
    flushed |= f == Bytes{0xAA, 0x7C, 0x4C};
    verified |= f == Bytes{0xAA, 0x7C, 0x56};
  }
  // Never more than the image, and always its leading bytes.
  FUZZ_CHECK(written.size() <= image.image.size());
  FUZZ_CHECK(std::equal(written.begin(), written.end(), image.image.begin()));
  if (!written.empty())
    FUZZ_CHECK(status != 0x211 && status != 0x210 && status != 0x20C && status != 0x213 && status != 0x212);
  if (ok) {
    FUZZ_CHECK(written == image.image);
    if (CurrentController.family != 1) FUZZ_CHECK(flushed && verified);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceStdout();
  for (size_t i = 0; i < gImages.size(); ++i) {
    ImageFile& f = gImages[i];
    f.image = fuzz::MakeImage(f.length, f.model);
    Bytes file = f.wrapped ? Wrap(f.image) : f.image;
    f.path = fuzz::WriteTempFile("image" + std::to_string(i), file);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in{{data, size}};
  uint8_t command = in.Byte();
  uint8_t behaviour = in.Byte();

  fuzz::ResetProcessState();
  fuzz::InstallFakeSerial();
  FUZZ_CHECK(LinkOpen("com1", 115200, (behaviour & 4) != 0, LinkKind::Serial));
  FakeSerial.failReadsAtEnd = (behaviour & 1) != 0;
  FakeSerial.failWrites = (behaviour & 2) != 0;

  // Parameters come first; the rest of the input is the controller's side.
  uint32_t p = 0;
  Bytes block;
  TransactParams transact;
  uint8_t imagePick = 0, ratePick = 0;
  switch (command % 17) {
    case 3:
    case 5:
    case 6:
    case 7:
    case 9:
    case 10: p = in.U32(); break;
    case 11:
      block = in.Take(1 + in.U16() % 2048);
      p = in.U16();
      break;
    case 15: transact = ReadTransactParams(in); break;
    case 16:
      imagePick = in.Byte();
      ratePick = in.Byte();
      break;
    default: break;
  }
  Bytes reply = in.Rest();
  FakeSerial.incoming.assign(reply.begin(), reply.end());

  switch (command % 17) {
    case 0:
      Handshake();
      FUZZ_CHECK(FakeSerial.pauses <= 4);
      break;
    case 1: CheckText(QueryIdentification(), 128, reply); break;
    case 2: CheckText(QueryControllerName(), 20, reply); break;
    case 3: SetControllerBaudRate(p); break;
    case 4: Reboot(); break;
    case 5: SelectPage8(p); break;
    case 6:
      SelectPage16(p);
      FUZZ_CHECK(FakeSerial.writes.size() <= 3);
      break;
    case 7: SelectSubPage(p); break;
    case 8: EraseNandIndex(); break;
    case 9: ErasePage8(p >> 16, static_cast<uint16_t>(p)); break;
    case 10:
      ErasePage16(p);
      FUZZ_CHECK(FakeSerial.writes.size() <= 4);
      break;
    case 11: {
      bool ok = WriteBlock(block.data(), static_cast<uint32_t>(block.size()), static_cast<uint16_t>(p));
      std::vector<Bytes> frames = Frames();
      FUZZ_CHECK(frames.size() == 1 || (frames.empty() && FakeSerial.failWrites));
      if (!frames.empty()) {
        FUZZ_CHECK(WritePayload(frames[0]) == block);
        FUZZ_CHECK((frames[0][3] << 8 | frames[0][4]) == static_cast<int>(static_cast<uint16_t>(p)));
      }
      if (ok) FUZZ_CHECK(!reply.empty() && reply[0] == 0x06);
      break;
    }
    case 12: {
      uint16_t answer = QueryMaxBlockSize(CurrentController.chipCode);
      if (reply.size() >= 4 && reply[0] == 0x06 && !FakeSerial.failWrites)
        FUZZ_CHECK(answer == (reply[1] << 8 | reply[2]));
      else FUZZ_CHECK(answer == 256);
      break;
    }
    case 13: Flush(); break;
    case 14: Verify(); break;
    case 15: CheckTransact(transact, reply); break;
    case 16: CheckProgramRun(imagePick, ratePick); break;
  }

  // One frame per write, each read either took a byte or ended a transaction.
  Frames(command % 17 != 15);
  FUZZ_CHECK(FakeSerial.misses <= FakeSerial.writes.size());
  FUZZ_CHECK(FakeSerial.reads - FakeSerial.misses <= reply.size());
  LinkClose();
  return 0;
}
