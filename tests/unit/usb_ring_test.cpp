// The receive ring, the HID input walk, report lengths from a descriptor and
// the bulk device match: the USB links' pure logic.
#include <gtest/gtest.h>

#include <vector>

#include "link/usb/hid_device.h"
#include "link/usb/hid_report_descriptor.h"
#include "link/usb/usb_common.h"
#include "link/usb/winusb_device.h"

namespace {

std::vector<uint8_t> Drain(ReceiveRing& ring) {
  std::vector<uint8_t> out;
  uint8_t b;
  while (RingPop(ring, &b)) out.push_back(b);
  return out;
}

TEST(UsbRing, OverflowKeepsTheFirst256InOrder) {
  ReceiveRing ring;
  for (int i = 0; i < 300; ++i) {
    EXPECT_EQ(RingPush(ring, static_cast<uint8_t>(i)), i < 256) << i;
  }
  EXPECT_EQ(ring.count, 256);
  std::vector<uint8_t> out = Drain(ring);
  ASSERT_EQ(out.size(), 256u);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(out[i], i);
}

TEST(UsbRing, CountersWrapAroundTheSlots) {
  ReceiveRing ring;
  // Offset the counters so that pushes cross slot 255 -> 0 and the 32-bit
  // counters themselves wrap.
  ring.writeCounter = ring.readCounter = 0xFFFFFFF0u;
  for (int i = 0; i < 40; ++i) RingPush(ring, static_cast<uint8_t>(100 + i));
  std::vector<uint8_t> out = Drain(ring);
  ASSERT_EQ(out.size(), 40u);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(out[i], 100 + i);
  EXPECT_EQ(ring.count, 0);
}

TEST(UsbRing, TakeWaitsForAPushFromAnotherThread) {
  UsbReceiver receiver;
  std::thread pusher([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const uint8_t b = 0x5A;
    ReceiverPush(receiver, &b, 1);
  });
  uint8_t got = 0;
  EXPECT_TRUE(ReceiverTake(receiver, 5000, &got));
  EXPECT_EQ(got, 0x5A);
  pusher.join();
  EXPECT_FALSE(ReceiverTake(receiver, 0, &got));
}

std::vector<uint8_t> Unpack(const std::vector<uint8_t>& bytes, uint16_t length) {
  ReceiveRing ring;
  HidUnpackInput(ring, bytes.data(), static_cast<uint32_t>(bytes.size()), length);
  return Drain(ring);
}

TEST(HidInputWalk, CountBoundsThePayloadAndTheIdNeverArrives) {
  // Length 6: ID, count, four payload bytes.
  EXPECT_EQ(Unpack({7, 2, 0xA, 0xB, 0xC, 0xD}, 6), (std::vector<uint8_t>{0xA, 0xB}));
  EXPECT_TRUE(Unpack({7, 0, 0xA, 0xB, 0xC, 0xD}, 6).empty());
  // A count beyond the report yields the rest of that report only: the next
  // report's ID and count are not payload.
  EXPECT_EQ(Unpack({9, 255, 1, 2, 3, 4, 9, 1, 5, 0, 0, 0}, 6), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
}

TEST(HidInputWalk, ManyReportsInOneRead) {
  std::vector<uint8_t> reads;
  std::vector<uint8_t> expected;
  for (int r = 0; r < 32; ++r) {
    std::vector<uint8_t> report(65, 0xEE);
    report[0] = 0;
    report[1] = static_cast<uint8_t>(r % 5);
    for (int i = 0; i < r % 5; ++i) {
      report[2 + i] = static_cast<uint8_t>(r * 8 + i);
      expected.push_back(report[2 + i]);
    }
    reads.insert(reads.end(), report.begin(), report.end());
  }
  EXPECT_EQ(Unpack(reads, 65), expected);
}

// A vendor-defined collection of 64-byte reports both ways, no report IDs.
const std::vector<uint8_t> kPlainDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00,
                                               0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x09, 0x01,
                                               0x81, 0x02, 0x95, 0x40, 0x09, 0x01, 0x91, 0x02, 0xC0};

TEST(HidReportDescriptor, PlainReportsCountTheIdByte) {
  HidReportLengths l = ParseHidReportLengths(kPlainDescriptor);
  EXPECT_EQ(l.input, 65);
  EXPECT_EQ(l.output, 65);
  EXPECT_FALSE(l.usesReportIds);
}

TEST(HidReportDescriptor, LongestNumberedReportPerDirection) {
  const std::vector<uint8_t> d = {
      0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08,                    //
      0x85, 0x01, 0x95, 0x10, 0x81, 0x02,                                      // ID 1: 16 bytes in
      0x85, 0x02, 0x95, 0x20, 0x81, 0x02, 0x75, 0x01, 0x95, 0x04, 0x81, 0x02,  // ID 2: 32.5 in
      0xA4, 0x75, 0x08, 0x95, 0x07, 0x91, 0x02, 0xB4,                          // ID 2: 7 bytes out, pushed
      0x95, 0x03, 0x91, 0x02,        // Pop restored 1-bit size: 3 bits
      0xFE, 0x02, 0x00, 0xAA, 0xBB,  // a long item, skipped
      0xC0};
  HidReportLengths l = ParseHidReportLengths(d);
  EXPECT_TRUE(l.usesReportIds);
  EXPECT_EQ(l.input, 34);  // 260 bits -> 33 bytes + ID
  EXPECT_EQ(l.output, 9);  // 59 bits -> 8 bytes + ID
}

TEST(HidReportDescriptor, TruncatedItemEndsTheWalk) {
  std::vector<uint8_t> d(kPlainDescriptor.begin(), kPlainDescriptor.begin() + 20);
  d.push_back(0x96);  // Report Count with two data bytes, only one present
  d.push_back(0x10);
  HidReportLengths l = ParseHidReportLengths(d);
  EXPECT_EQ(l.input, 65);
  EXPECT_EQ(l.output, 0);
}

TEST(WinUsbMatch, VendorProductAndDescriptorLength) {
  auto descriptor = [](uint16_t vendor, uint16_t product) {
    std::vector<uint8_t> d(18, 0);
    d[8] = vendor & 0xFF, d[9] = vendor >> 8, d[10] = product & 0xFF, d[11] = product >> 8;
    return d;
  };
  for (uint16_t product : {0x1511, 0x1512, 0x1513}) {
    EXPECT_TRUE(WinUsbDescriptorMatches(descriptor(0x0483, product))) << product;
  }
  EXPECT_FALSE(WinUsbDescriptorMatches(descriptor(0x0483, 0x1514)));
  EXPECT_FALSE(WinUsbDescriptorMatches(descriptor(0x0484, 0x1512)));
  std::vector<uint8_t> shortOne = descriptor(0x0483, 0x1512);
  shortOne.resize(12);
  EXPECT_TRUE(WinUsbDescriptorMatches(shortOne));
  shortOne.resize(11);
  EXPECT_FALSE(WinUsbDescriptorMatches(shortOne));
}

}  // namespace
