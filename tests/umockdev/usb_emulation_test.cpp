// Whole runs of the built pendrel against USB controllers emulated in a
// umockdev test bed: the real hidraw and libusb layers, the talo-sim
// engine behind the emulated devices, its flash compared with the image.
#include <gtest/gtest.h>

#include <cstdio>
#include <list>
#include <memory>

#include "umockdev/bulk_emulation.h"
#include "umockdev/emulated_bed.h"
#include "umockdev/hid_emulation.h"
#include "umockdev/rig.h"
#include "unit/flash_test_images.h"

namespace {

using emu::BulkController;
using emu::HidController;

using emu::Describe;
using emu::MakeEngine;
using emu::Rig;

// The last line the run printed before the exit prompt.
std::string LastLine(const std::string& out) {
  std::string text = out;
  const std::string prompt = "\nPress any key to exit program";
  if (size_t at = text.rfind(prompt); at != std::string::npos) text.erase(at);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  size_t start = text.rfind('\n');
  return start == std::string::npos ? text : text.substr(start + 1);
}

// Nothing reached a device the program had to leave alone.
void ExpectUntouched(const HidController& d) {
  EXPECT_EQ(d.counters.descriptorIoctls, 0) << "hidraw" << d.description.node;
  EXPECT_EQ(d.counters.writes, 0) << "hidraw" << d.description.node;
  EXPECT_EQ(d.counters.otherIoctls, 0) << "hidraw" << d.description.node;
}
void ExpectUntouched(const BulkController& d) {
  EXPECT_EQ(d.counters.claims, 0) << "usb" << d.description.bus;
  EXPECT_EQ(d.counters.submits, 0) << "usb" << d.description.bus;
}

void ExpectCleanRun(const emu::ChildResult& r) {
  EXPECT_EQ(r.exitCode, 0) << Describe(r);
  EXPECT_NE(r.out.find("Talo Simulated Controller V1.00\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.err.find("ERROR"), std::string::npos) << r.err;
}

// Writes a test image of `size` bytes for `model` through the rig's devices
// with -usb: a clean run that leaves the image in `engine`'s flash.
void ExpectProgrammed(Rig& rig, sim::SimEngine& engine, const char* model, size_t size, const char* file) {
  const auto image = test_images::MakeImage(size, model);
  auto r = rig.Run({emu::WriteTempFile(file, image), "-usb"});
  ExpectCleanRun(r);
  EXPECT_EQ(sim::SimFlashImage(engine), image);
  EXPECT_EQ(sim::SimHostFaults(engine), 0u);
}

TEST(HidEmulation, ProgramsThroughHidraw) {
  auto engine = MakeEngine("TXC7350", 256);
  Rig rig;
  HidController& device = rig.AddHid({}, engine.get());
  ExpectProgrammed(rig, *engine, "TXC7350", 40000, "hid-run.bin");
  EXPECT_GE(device.counters.descriptorIoctls, 2);
  EXPECT_EQ(device.counters.otherIoctls, 0);
  // 40000 bytes in blocks of 256 need more than 160 reports; every one
  // was written whole, report number first.
  EXPECT_GT(device.counters.writes, 160);
  EXPECT_EQ(device.counters.wrongLengthWrites, 0);
  EXPECT_GT(device.counters.reads, 0);
}

TEST(HidEmulation, OtherReportLength) {
  {
    auto engine = MakeEngine("TXC7350", 256);
    Rig rig;
    HidController& device = rig.AddHid({.inputBytes = 32, .outputBytes = 16}, engine.get());
    ExpectProgrammed(rig, *engine, "TXC7350", 6000, "hid-short.bin");
    EXPECT_EQ(device.counters.wrongLengthWrites, 0);
    // 16-byte reports carry 14 payload bytes: a 256-byte block takes 19.
    EXPECT_GT(device.counters.writes, 6000 / 14);
  }
  {
    // 65 data bytes make a 66-byte report with its ID byte: refused.
    Rig rig;
    HidController& device = rig.AddHid({.inputBytes = 65, .outputBytes = 64});
    auto r = rig.Run({emu::WriteTempFile("hid-long.bin", test_images::MakeImage(4096, "TXC7350")), "-usb"});
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    // The system text of the thread's last error follows on a line of its own.
    EXPECT_NE(r.out.find("\nUnable to open USB device\n"), std::string::npos) << r.out;
    EXPECT_EQ(device.counters.writes, 0);
  }
}

TEST(HidEmulation, NearMissesAreLeftAlone) {
  const char* nearMisses[] = {"Talo controller", "Talo Controller2", "Talo Controlle", " Talo Controller"};
  {
    auto engine = MakeEngine("TXC7350", 256);
    Rig rig;
    int node = 0;
    for (const char* name : nearMisses) rig.AddHid({.node = node++, .product = name});
    HidController& device = rig.AddHid({.node = node}, engine.get());
    ExpectProgrammed(rig, *engine, "TXC7350", 3000, "hid-near.bin");
    EXPECT_GT(device.counters.writes, 0);
    for (const HidController& d : rig.hid) {
      if (&d != &device) ExpectUntouched(d);
    }
  }
  {
    Rig rig;
    int node = 0;
    for (const char* name : nearMisses) rig.AddHid({.node = node++, .product = name});
    auto r = rig.Run({emu::WriteTempFile("hid-none.bin", test_images::MakeImage(3000, "TXC7350")), "-usb"});
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    EXPECT_EQ(LastLine(r.out), "No Talo USB devices found") << r.out;
    for (const HidController& d : rig.hid) ExpectUntouched(d);
  }
}

TEST(HidEmulation, DisconnectMidRun) {
  auto engine = MakeEngine("TXC7350", 256, {{"write", 20, sim::FaultKind::DropLink}});
  Rig rig;
  HidController& device = rig.AddHid({}, engine.get());
  const auto image = test_images::MakeImage(40000, "TXC7350");
  auto r = rig.Run({emu::WriteTempFile("hid-drop.bin", image), "-usb"});
  EXPECT_EQ(r.exitCode, 1) << Describe(r);
  EXPECT_NE(r.out.find("\nPrograming Error\n"), std::string::npos) << r.out;
  EXPECT_EQ(LastLine(r.out), "Failed to write data to Flash") << r.out;
  EXPECT_GE(device.counters.failedReads, 1);
  EXPECT_LT(sim::SimFlashImage(*engine).size(), image.size());
}

TEST(BulkEmulation, ProgramsThroughLibusb) {
  auto engine = MakeEngine("TXC7390", 2048);
  Rig rig;
  BulkController& device = rig.AddBulk({}, engine.get());
  ExpectProgrammed(rig, *engine, "TXC7390", 200 * 1024 + 77, "bulk-run.bin");
  EXPECT_EQ(device.counters.otherIoctls, 0);
  // Claimed by the search's trial and by the open, and released each time.
  EXPECT_EQ(device.counters.claims, 2);
  EXPECT_EQ(device.counters.releases, 2);
  // The open's zero-length packet, then each block as one transfer of its
  // whole frame: more than 2048 bytes with the command and escapes.
  EXPECT_EQ(device.counters.zeroLengthOut, 1);
  EXPECT_GT(device.counters.largestOut, 2048u);
  EXPECT_GE(device.counters.outTransfers, 100);
  EXPECT_GT(device.counters.inTransfers, 0);
}

TEST(BulkEmulation, PreferredOverHid) {
  auto bulkEngine = MakeEngine("TXC7390", 2048);
  auto hidEngine = MakeEngine("TXC7390", 256);
  Rig rig;
  HidController& hid = rig.AddHid({}, hidEngine.get());
  BulkController& bulk = rig.AddBulk({}, bulkEngine.get());
  ExpectProgrammed(rig, *bulkEngine, "TXC7390", 20000, "bulk-first.bin");
  EXPECT_GT(bulk.counters.outTransfers, 0);
  ExpectUntouched(hid);
  EXPECT_EQ(sim::SimGetStats(*hidEngine).frames, 0u);
}

TEST(BulkEmulation, IdentifiersDecide) {
  const emu::BulkDeviceDescription decoys[] = {{.bus = 2, .vendor = 0x0483, .productId = 0x1514},
                                               {.bus = 3, .vendor = 0x0484, .productId = 0x1512},
                                               {.bus = 4, .vendor = 0x0483, .productId = 0x1510}};
  for (uint16_t product : {0x1511, 0x1513}) {
    SCOPED_TRACE(product);
    auto engine = MakeEngine("TXC7390", 2048);
    Rig rig;
    for (const emu::BulkDeviceDescription& description : decoys) rig.AddBulk(description);
    rig.AddBulk({.bus = 5, .productId = product}, engine.get());
    ExpectProgrammed(rig, *engine, "TXC7390", 10000, "bulk-ids.bin");
    for (const BulkController& d : rig.bulk) {
      if (d.description.bus != 5) ExpectUntouched(d);
    }
  }
  {
    Rig rig;
    for (const emu::BulkDeviceDescription& description : decoys) rig.AddBulk(description);
    auto r = rig.Run({emu::WriteTempFile("bulk-none.bin", test_images::MakeImage(3000, "TXC7390")), "-usb"});
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    EXPECT_EQ(LastLine(r.out), "No Talo USB devices found") << r.out;
    for (const BulkController& d : rig.bulk) ExpectUntouched(d);
  }
}

TEST(BulkEmulation, HeldDeviceIsPassedOver) {
  // Another program holds one controller's interface: the search goes on to
  // the next, whichever of the two the system lists first.
  for (int busyBus : {2, 3}) {
    SCOPED_TRACE(busyBus);
    auto engine = MakeEngine("TXC7390", 2048);
    Rig rig;
    BulkController& first = rig.AddBulk({.bus = 2}, busyBus == 2 ? nullptr : engine.get());
    BulkController& second = rig.AddBulk({.bus = 3}, busyBus == 3 ? nullptr : engine.get());
    BulkController& busy = busyBus == 2 ? first : second;
    busy.busy = true;
    ExpectProgrammed(rig, *engine, "TXC7390", 10000, "bulk-busy.bin");
    ExpectUntouched(busy);
  }
}

TEST(BulkEmulation, FailuresCarryTheirOwnCause) {
  {
    // The identification query's transfer never completes: the send's
    // time-out, not an older error, is what the run reports.
    auto engine = MakeEngine("TXC7390", 2048);
    Rig rig;
    BulkController& device = rig.AddBulk({}, engine.get());
    device.stallOutPrefix = {0xAA, 0x3F, 0x49};
    auto r = rig.Run({emu::WriteTempFile("bulk-stall.bin", test_images::MakeImage(3000, "TXC7390")), "-usb"});
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    EXPECT_NE(r.out.find("\nError writing data to USB device\nConnection timed out\n"), std::string::npos)
        << r.out;
    EXPECT_GE(device.counters.discards, 1);
  }
  {
    // Every reap fails mid-run: the library's event handling keeps failing
    // after the reader's cancel. The reader gives up and the run ends.
    auto engine = MakeEngine("TXC7390", 2048);
    Rig rig;
    BulkController& device = rig.AddBulk({}, engine.get());
    device.reapsFailAfterOut = 20;
    auto r =
        rig.Run({emu::WriteTempFile("bulk-reapfail.bin", test_images::MakeImage(100000, "TXC7390")), "-usb"},
                std::chrono::seconds(60));
    EXPECT_FALSE(r.timedOut) << Describe(r);
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    EXPECT_NE(r.out.find("\nPrograming Error\n"), std::string::npos) << r.out;
  }
}

TEST(BulkEmulation, LostMidRun) {
  auto engine = MakeEngine("TXC7390", 2048, {{"write", 20, sim::FaultKind::DropLink}});
  Rig rig;
  BulkController& device = rig.AddBulk({}, engine.get());
  const auto image = test_images::MakeImage(200 * 1024, "TXC7390");
  auto r = rig.Run({emu::WriteTempFile("bulk-drop.bin", image), "-usb"});
  EXPECT_EQ(r.exitCode, 1) << Describe(r);
  EXPECT_NE(r.out.find("\nPrograming Error\n"), std::string::npos) << r.out;
  // The reader released the device when its read failed, so the close
  // before the message finds the link closed and its status is printed.
  EXPECT_EQ(LastLine(r.out), "USB device is not open") << r.out;
  EXPECT_TRUE(device.lost);
  EXPECT_LT(sim::SimFlashImage(*engine).size(), image.size());
}

// Three HID and two bulk controllers, each at a port of its own and with a
// serial number of its own; the second bulk one sits behind a hub.
struct Gang {
  Rig rig;
  std::vector<std::unique_ptr<sim::SimEngine>> engines;
  Gang() {
    const char* ports[] = {"2", "3", "1.4"};
    for (int i = 0; i < 3; ++i) {
      engines.push_back(MakeEngine("TXC7350", 256));
      rig.AddHid({.node = i, .port = std::string("1-") + ports[i], .serial = "HID-" + std::to_string(i)},
                 engines.back().get());
    }
    engines.push_back(MakeEngine("TXC7390", 2048));
    rig.AddBulk({.bus = 2, .port = "3", .address = 5, .serial = "BULK-0"}, engines.back().get());
    engines.push_back(MakeEngine("TXC7390", 2048));
    rig.AddBulk({.bus = 2, .port = "1.2", .address = 7, .serial = "BULK-1"}, engines.back().get());
  }
};

TEST(Selection, EachControllerByEachOfItsNames) {
  // Which controller (0-2 HID, 3-4 bulk) each name must reach.
  const std::pair<const char*, size_t> cases[] = {
      {"1-3", 1},   {"1-1.4", 2},       {"/dev/hidraw0", 0},         {"serial=HID-2", 2},  {"2-3", 3},
      {"2-1.2", 4}, {"usb:002:007", 4}, {"/dev/bus/usb/002/005", 3}, {"serial=BULK-1", 4},
  };
  for (const auto& [name, index] : cases) {
    SCOPED_TRACE(name);
    Gang gang;
    const bool bulk = index >= 3;
    const char* model = bulk ? "TXC7390" : "TXC7350";
    const auto image = test_images::MakeImage(bulk ? 20000 : 6000, model);
    auto r = gang.rig.Run({emu::WriteTempFile("select.bin", image), "-usb"}, std::chrono::seconds(120),
                          {std::string("PENDREL_USB_DEVICE=") + name});
    ExpectCleanRun(r);
    EXPECT_EQ(sim::SimFlashImage(*gang.engines[index]), image);
    size_t i = 0;
    for (const HidController& d : gang.rig.hid) {
      if (i++ != index) ExpectUntouched(d);
    }
    for (const BulkController& d : gang.rig.bulk) {
      if (i++ != index) ExpectUntouched(d);
    }
  }
}

TEST(Selection, ANameThatMatchesNothing) {
  for (const char* name : {"1-9", "serial=HID-9", "/dev/hidraw9", "usb:002:009", "serial="}) {
    SCOPED_TRACE(name);
    Gang gang;
    auto r =
        gang.rig.Run({emu::WriteTempFile("select-none.bin", test_images::MakeImage(3000, "TXC7350")), "-usb"},
                     std::chrono::seconds(60), {std::string("PENDREL_USB_DEVICE=") + name});
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    EXPECT_EQ(LastLine(r.out), "No Talo USB devices found") << r.out;
    for (const HidController& d : gang.rig.hid) ExpectUntouched(d);
    for (const BulkController& d : gang.rig.bulk) ExpectUntouched(d);
  }
}

TEST(HidEmulation, AStalledWriteEndsTheSend) {
  // The controller stops taking output reports: its first write never
  // returns. The send gives up (after half a second at most), and so does
  // every send after it while that write is still held; the run ends on its
  // own.
  Rig rig;
  HidController& device = rig.AddHid({});
  device.holdWrites = true;
  auto r = rig.Run({emu::WriteTempFile("hid-stall.bin", test_images::MakeImage(3000, "TXC7350")), "-usb"},
                   std::chrono::seconds(60));
  EXPECT_FALSE(r.timedOut) << Describe(r);
  EXPECT_EQ(r.exitCode, 1) << Describe(r);
  EXPECT_EQ(LastLine(r.out), "No or invalid response from Talo device") << r.out;
  std::lock_guard<std::mutex> hold(device.lock);
  EXPECT_EQ(device.counters.writes, 1);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (emu::PreloadLibrary().empty()) {
    std::printf("skipped: the umockdev preload library is not installed (UMOCKDEV_PRELOAD=%s)\n",
                std::getenv("UMOCKDEV_PRELOAD") ? std::getenv("UMOCKDEV_PRELOAD") : "");
    return 77;
  }
  return RUN_ALL_TESTS();
}
