// The HID link against the fake HID device layer: report packing, write
// retries, the reader and its endings, and the open/closed states.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "base/status.h"
#include "link/usb/hid_device.h"
#include "link/usb/hid_link.h"
#include "support/fake_hid.h"

namespace {

using Clock = std::chrono::steady_clock;
using fake::FakeHidConfig;
using fake::FakeHidDevice;

std::vector<uint8_t> Pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i + 1);
  return v;
}

// Waits, bounded, until the reader has ended.
bool WaitReaderEnded() {
  for (int i = 0; i < 400 && HidReaderRunning(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return !HidReaderRunning();
}

class HidLinkTest : public ::testing::Test {
 protected:
  void Open(const FakeHidConfig& config = FakeHidConfig{}) {
    fake::hid.Install(config);
    ASSERT_EQ(HidOpen(), 1) << LastStatusText();
    HidSetTimeouts(500, 100);
  }
  void TearDown() override {
    if (HidIsOpen()) HidClose();
    fake::hid.Uninstall();
  }
};

TEST_F(HidLinkTest, PacksBytesIntoWholeReports) {
  Open();
  auto reports = [&](size_t n) {
    auto before = fake::hid.Written().size();
    std::vector<uint8_t> bytes = Pattern(n);
    EXPECT_EQ(HidSend(bytes.data(), static_cast<uint32_t>(n)), 1);
    auto all = fake::hid.Written();
    return std::vector<std::vector<uint8_t>>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
  };

  auto one = reports(63);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0][0], 0);
  EXPECT_EQ(one[0][1], 63);
  EXPECT_EQ(std::vector<uint8_t>(one[0].begin() + 2, one[0].end()), Pattern(63));

  auto two = reports(64);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0][1], 63);
  EXPECT_EQ(two[1][1], 1);
  EXPECT_EQ(two[1][2], 64);
  EXPECT_EQ(two[1].size(), 65u);

  auto three = reports(150);
  ASSERT_EQ(three.size(), 3u);
  EXPECT_EQ(three[0][1], 63);
  EXPECT_EQ(three[1][1], 63);
  EXPECT_EQ(three[2][1], 24);
  EXPECT_EQ(three[1][2], 64);  // the stream goes on where the first report ended
  EXPECT_EQ(three[2][2 + 23], 150);
  for (size_t i = 26; i < 65; ++i) EXPECT_EQ(three[2][i], 0) << i;

  SetLastStatus(0x30B);
  EXPECT_TRUE(reports(0).empty());
  EXPECT_EQ(LastStatusCode(), 0);
}

TEST_F(HidLinkTest, ShortOutputReports) {
  FakeHidConfig config;
  config.devices[0].outputLength = 9;
  Open(config);
  std::vector<uint8_t> bytes = Pattern(15);
  ASSERT_EQ(HidSend(bytes.data(), 15), 1);
  auto reports = fake::hid.Written();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0], (std::vector<uint8_t>{0, 7, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(reports[1], (std::vector<uint8_t>{0, 7, 8, 9, 10, 11, 12, 13, 14}));
  EXPECT_EQ(reports[2], (std::vector<uint8_t>{0, 1, 15, 0, 0, 0, 0, 0, 0}));
}

TEST_F(HidLinkTest, WriteRetriesAgainstEachFailureKind) {
  FakeHidConfig config;
  config.failKind = HidWriteOutcome::Failed;
  config.failingWrites = -1;
  Open(config);
  const uint8_t byte = 0x42;

  HidSetTimeouts(500, 40);
  auto start = Clock::now();
  EXPECT_EQ(HidSend(&byte, 1), 0);
  auto spent = Clock::now() - start;
  EXPECT_EQ(LastStatusCode(), 0x4307);
  EXPECT_GE(spent, std::chrono::milliseconds(40));
  EXPECT_LT(spent, std::chrono::seconds(5));
  EXPECT_GT(fake::hid.CountersNow().writeCalls, 1);

  // A vanished device is not retried.
  config.failKind = HidWriteOutcome::DeviceGone;
  HidClose();
  Open(config);
  HidSetTimeouts(500, 1000);
  EXPECT_EQ(HidSend(&byte, 1), 0);
  EXPECT_EQ(LastStatusCode(), 0x4308);
  EXPECT_EQ(fake::hid.CountersNow().writeCalls, 1);

  // Failures within the allowance are ridden out.
  config.failKind = HidWriteOutcome::Failed;
  config.failingWrites = 2;
  HidClose();
  Open(config);
  EXPECT_EQ(HidSend(&byte, 1), 1);
  EXPECT_EQ(fake::hid.CountersNow().writeCalls, 3);
  EXPECT_EQ(LastStatusCode(), 0);
}

TEST_F(HidLinkTest, ShortWriteAndAFreshReportAfterAFailure) {
  FakeHidConfig config;
  config.shortWrite = true;
  Open(config);
  std::vector<uint8_t> bytes = Pattern(70);
  EXPECT_EQ(HidSend(bytes.data(), 70), 0);
  EXPECT_EQ(LastStatusCode(), 0x309);
  EXPECT_EQ(fake::hid.Written().size(), 1u);  // the first report's failure ends the send

  HidClose();
  config.shortWrite = false;
  config.failKind = HidWriteOutcome::DeviceGone;
  config.failingWrites = 1;
  Open(config);
  EXPECT_EQ(HidSend(bytes.data(), 70), 0);
  const uint8_t next[] = {0xAB};
  EXPECT_EQ(HidSend(next, 1), 1);
  auto reports = fake::hid.Written();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0][1], 1);  // nothing of the failed send came along
  EXPECT_EQ(reports[0][2], 0xAB);
}

TEST_F(HidLinkTest, ReaderDeliversPayloadInOrder) {
  Open();
  std::vector<uint8_t> bytes = Pattern(200);
  fake::hid.InjectPayload(bytes);
  std::vector<uint8_t> got;
  uint8_t b;
  while (got.size() < bytes.size() && HidReceiveByte(&b)) got.push_back(b);
  EXPECT_EQ(got, bytes);
  EXPECT_EQ(fake::hid.CountersNow().lastReadCapacity, 32u * 65u);

  HidSetTimeouts(30, 100);
  auto start = Clock::now();
  EXPECT_EQ(HidReceiveByte(&b), 0);
  EXPECT_EQ(LastStatusCode(), 0x30B);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
}

TEST_F(HidLinkTest, ReplyFromTheDeviceAnswersASend) {
  FakeHidConfig config;
  config.responder = [](std::span<const uint8_t> sent, std::vector<uint8_t>& reply) {
    for (uint8_t b : sent) reply.push_back(static_cast<uint8_t>(b ^ 0xFF));
    return false;
  };
  Open(config);
  const uint8_t frame[] = {1, 2, 3};
  ASSERT_EQ(HidSend(frame, 3), 1);
  uint8_t b;
  for (uint8_t want : {0xFE, 0xFD, 0xFC}) {
    ASSERT_EQ(HidReceiveByte(&b), 1);
    EXPECT_EQ(b, want);
  }
}

TEST_F(HidLinkTest, ReaderThatCannotOpenLeavesTheLinkOpen) {
  FakeHidConfig config;
  config.openReadFails = true;
  Open(config);
  ASSERT_TRUE(WaitReaderEnded());
  EXPECT_EQ(LastStatusCode(), 0x4310);
  EXPECT_TRUE(HidIsOpen());
  const uint8_t byte = 1;
  EXPECT_EQ(HidSend(&byte, 1), 1);
  HidSetTimeouts(10, 100);
  uint8_t b;
  EXPECT_EQ(HidReceiveByte(&b), 0);
  EXPECT_EQ(LastStatusCode(), 0x30B);
  EXPECT_EQ(HidClose(), 1);
  EXPECT_FALSE(HidIsOpen());
}

TEST_F(HidLinkTest, LostConnectionLeavesTheLinkOpen) {
  Open();
  ASSERT_TRUE(fake::hid.WaitReadPending());
  fake::hid.LoseConnection();
  ASSERT_TRUE(WaitReaderEnded());
  EXPECT_EQ(LastStatusCode(), 0x430A);
  EXPECT_TRUE(HidIsOpen());
  HidSetTimeouts(10, 100);
  uint8_t b;
  EXPECT_EQ(HidReceiveByte(&b), 0);
  EXPECT_EQ(LastStatusCode(), 0x30B);
  const uint8_t byte = 1;
  EXPECT_EQ(HidSend(&byte, 1), 1);
  EXPECT_EQ(HidClose(), 1);
  EXPECT_EQ(fake::hid.CountersNow().closeReads, 1);
}

TEST_F(HidLinkTest, CloseEndsAPendingReadBeforeItsHandleGoes) {
  Open();
  ASSERT_TRUE(fake::hid.WaitReadPending());
  EXPECT_EQ(HidClose(), 1);
  auto c = fake::hid.CountersNow();
  EXPECT_TRUE(c.stopEndedPendingRead);
  EXPECT_FALSE(c.closeReadWhilePending);
  EXPECT_EQ(c.closeReads, 1);
  EXPECT_EQ(c.closeWrites, 1);
  EXPECT_EQ(c.stopsCreated, 1);
  EXPECT_EQ(c.stopsDestroyed, 1);
  EXPECT_EQ(c.unloads, 1);
  EXPECT_FALSE(HidReaderRunning());
}

TEST_F(HidLinkTest, OpenWhileOpenAndUseWhileClosed) {
  Open();
  EXPECT_EQ(HidOpen(), 0);
  EXPECT_EQ(LastStatusCode(), 0x304);
  const uint8_t byte = 7;
  EXPECT_EQ(HidSend(&byte, 1), 1);  // the open link is untouched
  EXPECT_EQ(fake::hid.CountersNow().openWrites, 1);
  EXPECT_EQ(HidClose(), 1);

  EXPECT_EQ(HidClose(), 0);
  EXPECT_EQ(LastStatusCode(), 0x306);
  EXPECT_EQ(HidSend(&byte, 1), 0);
  EXPECT_EQ(LastStatusCode(), 0x306);
}

TEST_F(HidLinkTest, DeviceSearch) {
  FakeHidConfig config;
  config.devices = {{"wrong-case", u"talo Controller", 65, 65},
                    {"longer", u"Talo Controller ", 65, 65},
                    {std::string(260, 'p'), u"Talo Controller", 65, 65},
                    {"right", u"Talo Controller", 65, 65},
                    {"second", u"Talo Controller", 9, 9}};
  Open(config);
  // The first exact match whose path fits wins: report length 65, not 9.
  std::vector<uint8_t> bytes = Pattern(10);
  ASSERT_EQ(HidSend(bytes.data(), 10), 1);
  EXPECT_EQ(fake::hid.Written().at(0).size(), 65u);
  HidClose();

  config.devices.erase(config.devices.begin() + 3, config.devices.end());
  fake::hid.Install(config);
  EXPECT_EQ(HidOpen(), 0);
  EXPECT_EQ(LastStatusCode(), 0x30D);
  EXPECT_EQ(fake::hid.CountersNow().openWrites, 0);

  config.enumerateStatus = 0x4303;
  fake::hid.Install(config);
  EXPECT_EQ(HidOpen(), 0);
  EXPECT_EQ(LastStatusCode(), 0x4303);

  config = FakeHidConfig{};
  config.loadStatus = 0x301;
  fake::hid.Install(config);
  EXPECT_EQ(HidOpen(), 0);
  EXPECT_EQ(LastStatusCode(), 0x301);
}

TEST_F(HidLinkTest, ReportLengthsOutsideTheUsableRangeAreRefused) {
  struct Case {
    uint16_t in, out;
    bool opens;
  };
  for (Case c :
       {Case{66, 65, false}, Case{65, 66, false}, Case{2, 65, false}, Case{65, 0, false}, Case{3, 3, true}}) {
    FakeHidConfig config;
    config.devices[0].inputLength = c.in;
    config.devices[0].outputLength = c.out;
    fake::hid.Install(config);
    EXPECT_EQ(HidOpen(), c.opens ? 1 : 0) << c.in << "/" << c.out;
    if (!c.opens) {
      EXPECT_EQ(LastStatusCode(), 0x4305);
      EXPECT_EQ(fake::hid.CountersNow().closeWrites, 1);
      EXPECT_FALSE(HidIsOpen());
    } else {
      const uint8_t bytes[] = {1, 2};
      EXPECT_EQ(HidSend(bytes, 2), 1);
      EXPECT_EQ(fake::hid.Written().size(), 2u);  // one payload byte per report
      HidClose();
    }
  }
}

TEST_F(HidLinkTest, ARefusedDeviceCarriesNoOlderSystemError) {
  // The search opened other nodes and left their error behind; the refusal
  // of the report length is not that error.
  FakeHidConfig config;
  config.devices[0].outputLength = 66;
  config.staleError = true;
  fake::hid.Install(config);
  EXPECT_EQ(HidOpen(), 0);
  EXPECT_EQ(LastStatusCode(), 0x4305);
  EXPECT_STREQ(LastStatusText(), "Unable to open USB device");
  EXPECT_EQ(LastSystemError(), 0u);
}

}  // namespace
