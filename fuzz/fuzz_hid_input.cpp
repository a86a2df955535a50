// USB HID input reports walked into the receive ring: the walk by itself
// over any ring state, and the whole link (open, reader thread, receive,
// send) against a fake device that serves the input.
//
// Input, byte 0 even (the walk): report length (2 bytes), the ring's
// counters (4 bytes) and fill (2 bytes), then the reports' bytes.
// Byte 0 odd (the link): input and output report lengths (2 bytes each),
// the number of reads (1 byte), each read's length (2 bytes) and bytes, then
// the bytes to send.
//
// Beyond crash-freedom: the ring's count stays within 0..256 and equals the
// counters' difference; exactly the payload bytes come out, in order, up to
// what the ring holds (report IDs and count bytes never do, nor bytes past a
// report's count or the read's length); an unusable report length is
// refused at open; every output report is whole, zero-padded and carries
// 1..L-2 bytes of the send, in order. The fake never blocks: once its reads
// are used up the device fails, which ends the reader.
#include <cstring>
#include <thread>

#include "base/status.h"
#include "fuzz_support.h"
#include "link/usb/hid_device.h"
#include "link/usb/hid_link.h"
#include "link/usb/usb_common.h"

namespace {

using fuzz::Bytes;

// The payload bytes of one read, as the report layout defines them.
void ExpectedPayload(const Bytes& read, uint32_t reportLength, Bytes& out) {
  for (size_t start = 0; start < read.size(); start += reportLength) {
    if (start + 1 >= read.size()) break;
    size_t count = read[start + 1];
    size_t end = std::min(start + reportLength, read.size());
    for (size_t i = start + 2; i < end && count > 0; ++i, --count) out.push_back(read[i]);
  }
}

void WalkOnly(fuzz::Input& in) {
  uint16_t reportLength = in.U16();
  uint32_t counter = in.U32();
  int32_t fill = in.U16() % 257;
  Bytes bytes = in.Rest();

  ReceiveRing ring;
  ring.readCounter = counter;
  ring.writeCounter = counter + static_cast<uint32_t>(fill);
  ring.count = fill;
  for (int32_t i = 0; i < fill; ++i)
    ring.storage[(counter + static_cast<uint32_t>(i)) & 0xFF] = static_cast<uint8_t>(i);

  HidUnpackInput(ring, bytes.data(), static_cast<uint32_t>(bytes.size()), reportLength);
  FUZZ_CHECK(ring.count >= 0 && ring.count <= 256);
  FUZZ_CHECK(ring.writeCounter - ring.readCounter == static_cast<uint32_t>(ring.count));

  Bytes expected;
  for (int32_t i = 0; i < fill; ++i) expected.push_back(static_cast<uint8_t>(i));
  if (reportLength != 0) ExpectedPayload(bytes, reportLength, expected);
  if (expected.size() > 256) expected.resize(256);

  Bytes out;
  uint8_t b = 0;
  while (RingPop(ring, &b)) {
    out.push_back(b);
    FUZZ_CHECK(out.size() <= 256);
  }
  FUZZ_CHECK(out == expected);
  FUZZ_CHECK(ring.count == 0 && ring.readCounter == ring.writeCounter);
}

// ---- the whole link against a fake device ----

struct FakeHid {
  uint16_t inputLength = 0;
  uint16_t outputLength = 0;
  std::vector<Bytes> reads;  // served in order, then the device fails
  size_t nextRead = 0;
  std::vector<Bytes> reports;
  uint32_t asked = 0;  // the capacity the reader gave
};
FakeHid gFake;

bool Load() { return true; }
void Unload() {}
bool Enumerate(HidVisit visit, void* context) {
  visit(context, UsbDeviceNames{.path = "/fake/hidraw"}, u"Talo Controller");
  return true;
}
UsbHandle OpenWrite(const char*, uint16_t* in, uint16_t* out) {
  *in = gFake.inputLength;
  *out = gFake.outputLength;
  return 1;
}
HidWriteOutcome Write(UsbHandle, const uint8_t* report, uint32_t length, uint32_t* written, uint32_t) {
  gFake.reports.emplace_back(report, report + length);
  *written = length;
  return HidWriteOutcome::Written;
}
void Close(UsbHandle) {}
UsbHandle OpenRead(const char*, uint16_t) { return 2; }
UsbReadOutcome Read(UsbHandle, uint8_t* buffer, uint32_t capacity, uint32_t* got, UsbHandle) {
  gFake.asked = capacity;
  if (gFake.nextRead == gFake.reads.size()) return UsbReadOutcome::Failed;
  const Bytes& r = gFake.reads[gFake.nextRead++];
  if (!r.empty()) std::memcpy(buffer, r.data(), std::min<size_t>(r.size(), capacity));
  // A layer that claims more than it was given room for: the link must not
  // believe it.
  *got = static_cast<uint32_t>(r.size());
  return UsbReadOutcome::Data;
}
UsbHandle CreateStop() { return 3; }

constexpr HidDeviceApi kFakeHidApi = {
    .load = Load,
    .unload = Unload,
    .enumerate = Enumerate,
    .openWrite = OpenWrite,
    .write = Write,
    .closeWrite = Close,
    .openRead = OpenRead,
    .read = Read,
    .closeRead = Close,
    .createStop = CreateStop,
    .raiseStop = Close,
    .destroyStop = Close,
};

void WholeLink(fuzz::Input& in) {
  gFake = FakeHid{};
  gFake.inputLength = in.U16() % 80;
  gFake.outputLength = in.U16() % 80;
  size_t readCount = in.Byte() % 8;
  for (size_t i = 0; i < readCount; ++i) gFake.reads.push_back(in.Take(in.U16() % 2200));
  Bytes send = in.Rest();
  InstallHidDeviceApi(&kFakeHidApi);

  SetLastStatus(0);
  auto usable = [](uint16_t n) { return n >= 3 && n <= kHidMaxReportLength; };
  int opened = HidOpen();
  if (!usable(gFake.inputLength) || !usable(gFake.outputLength)) {
    FUZZ_CHECK(!opened && LastStatusCode() == 0x4305 && !HidIsOpen());
    InstallHidDeviceApi(nullptr);
    return;
  }
  FUZZ_CHECK(opened);

  // The reader runs through the reads and ends on the device's failure.
  for (uint64_t spins = 0; HidReaderRunning(); ++spins) {
    FUZZ_CHECK(spins < 100000000);
    std::this_thread::yield();
  }
  FUZZ_CHECK(LastStatusCode() == 0x430A);
  FUZZ_CHECK(gFake.asked == kHidReportsPerRead * gFake.inputLength);

  Bytes expected;
  for (Bytes r : gFake.reads) {
    if (r.size() > gFake.asked) r.resize(gFake.asked);
    ExpectedPayload(r, gFake.inputLength, expected);
  }
  if (expected.size() > 256) expected.resize(256);
  HidSetTimeouts(0, 0);
  Bytes received;
  uint8_t b = 0;
  while (HidReceiveByte(&b)) {
    received.push_back(b);
    FUZZ_CHECK(received.size() <= 256);
  }
  FUZZ_CHECK(LastStatusCode() == 0x30B);
  FUZZ_CHECK(received == expected);

  FUZZ_CHECK(HidSend(send.data(), static_cast<uint32_t>(send.size())));
  const size_t perReport = gFake.outputLength - 2u;
  FUZZ_CHECK(gFake.reports.size() == (send.size() + perReport - 1) / perReport);
  Bytes carried;
  for (const Bytes& report : gFake.reports) {
    FUZZ_CHECK(report.size() == gFake.outputLength && report[0] == 0);
    size_t n = report[1];
    FUZZ_CHECK(n >= 1 && n <= perReport);
    carried.insert(carried.end(), report.begin() + 2, report.begin() + 2 + static_cast<ptrdiff_t>(n));
    for (size_t i = 2 + n; i < report.size(); ++i) FUZZ_CHECK(report[i] == 0);
  }
  FUZZ_CHECK(carried == send);

  FUZZ_CHECK(HidClose());
  FUZZ_CHECK(!HidIsOpen());
  InstallHidDeviceApi(nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in{{data, size}};
  fuzz::ResetProcessState();
  if (in.Byte() & 1) WholeLink(in);
  else WalkOnly(in);
  return 0;
}
