// pendrel-station against USB controllers emulated in a umockdev test bed:
// five controllers at their own ports and serial numbers, each named to its
// own pendrel, programmed at once (one with an injected fault, failing
// alone); and --watch on a USB location while boards come and go.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "umockdev/bulk_emulation.h"
#include "umockdev/emulated_bed.h"
#include "umockdev/hid_emulation.h"
#include "umockdev/rig.h"
#include "unit/flash_test_images.h"

namespace {

using emu::BulkController;
using emu::HidController;
using nlohmann::json;
using namespace std::chrono_literals;

std::string Station() {
  const char* path = std::getenv("PENDREL_STATION");
  return path ? path : "";
}

// Every JSON line of the text; a line that is not JSON fails the test.
std::vector<json> Lines(const std::string& text) {
  std::vector<json> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    json j = json::parse(line, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << line;
    out.push_back(j);
  }
  return out;
}

std::map<std::string, json> ByPort(const std::vector<json>& records, const char* event = nullptr) {
  std::map<std::string, json> out;
  for (const json& r : records)
    if (event == nullptr || r.value("event", "") == event) out[r.value("port", "")] = r;
  return out;
}

// The image the station writes: the one named by STATION_IMAGE when a caller
// compares flashes of its own against it, else one made here.
test_images::Bytes StationImage(const char* model) {
  const char* path = std::getenv("STATION_IMAGE");
  if (path == nullptr) return test_images::MakeImage(40000, model);
  std::ifstream in(path, std::ios::binary);
  return test_images::Bytes(std::istreambuf_iterator<char>(in), {});
}

// The words of STATION_ETH_UNITS: Ethernet units of a private network that
// tests/umockdev/every_link.py runs this program in.
std::vector<std::string> EthernetUnits() {
  std::vector<std::string> units;
  std::istringstream in(std::getenv("STATION_ETH_UNITS") ? std::getenv("STATION_ETH_UNITS") : "");
  for (std::string unit; in >> unit;) units.push_back(unit);
  return units;
}

// Five USB controllers (three HID, two bulk; one with a fault) and the given
// Ethernet units in one station run, each named to its own pendrel.
void ProgramFiveUsbAnd(const std::vector<std::string>& ethernet) {
  const char* model = "TXC7390";
  std::vector<std::unique_ptr<sim::SimEngine>> engines;
  for (int i = 0; i < 5; ++i) {
    std::vector<sim::FaultPlan> faults;
    if (i == 1) faults.push_back({"write", 3, sim::FaultKind::Nak});
    engines.push_back(emu::MakeEngine(model, i < 3 ? 256 : 2048, faults));
  }
  emu::Rig rig;
  rig.AddHid({.node = 0, .port = "1-1.2", .serial = "HID-A"}, engines[0].get());
  rig.AddHid({.node = 1, .port = "1-1.3", .serial = "HID-B"}, engines[1].get());
  rig.AddHid({.node = 2, .port = "1-4", .serial = "HID-C"}, engines[2].get());
  rig.AddBulk({.bus = 2, .port = "1", .address = 5, .serial = "BULK-A"}, engines[3].get());
  rig.AddBulk({.bus = 3, .port = "2.1", .address = 9, .serial = "BULK-B"}, engines[4].get());
  rig.Tick();
  // Each kind of name: a location, a serial number, a device path, for each link.
  const std::vector<std::string> units = {"usb:1-1.2", "usb:serial=HID-B", "usb:/dev/hidraw2", "usb:2-1",
                                          "usb:serial=BULK-B"};
  const std::vector<std::pair<std::string, std::string>> devices = {
      {"HID-A", "1-1.2"}, {"HID-B", "1-1.3"}, {"HID-C", "1-4"}, {"BULK-A", "2-1"}, {"BULK-B", "3-2.1"}};
  const test_images::Bytes image = StationImage(model);
  ASSERT_GE(image.size(), 128u);
  const std::string log = emu::WriteTempFile("station-five.jsonl", {});
  std::vector<std::string> argv = {Station(), "program", emu::WriteTempFile("station-five.bin", image)};
  argv.insert(argv.end(), units.begin(), units.end());
  argv.insert(argv.end(), ethernet.begin(), ethernet.end());
  argv.insert(argv.end(), {"--json", "--log", log});
  emu::ChildResult r = emu::RunInBed(rig.bed, argv, {}, 180s);
  rig.ticker.reset();

  EXPECT_EQ(r.exitCode, 1) << emu::Describe(r);
  std::map<std::string, json> ends = ByPort(Lines(r.out), "end");
  std::ifstream in(log);
  std::map<std::string, json> records = ByPort(Lines(std::string(std::istreambuf_iterator<char>(in), {})));
  ASSERT_EQ(ends.size(), units.size() + ethernet.size()) << r.out;
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(units[i]);
    const json& end = ends[units[i]];
    if (i == 1) {
      EXPECT_EQ(end["result"], "failed");
      EXPECT_EQ(end["failure"], "Programing Error: Failed to write data to Flash");
    } else {
      EXPECT_EQ(end["result"], "ok") << end.dump();
      EXPECT_EQ(sim::SimFlashImage(*engines[i]), image);
      EXPECT_EQ(sim::SimHostFaults(*engines[i]), 0u);
    }
    // The record names the controller the unit went through.
    EXPECT_EQ(records[units[i]]["usb_serial"], devices[i].first);
    EXPECT_EQ(records[units[i]]["usb_location"], devices[i].second);
    EXPECT_EQ(records[units[i]]["link"], "usb");
  }
  // The caller compares these controllers' flashes once they have stopped.
  for (const std::string& unit : ethernet) {
    SCOPED_TRACE(unit);
    EXPECT_EQ(ends[unit]["result"], "ok") << ends[unit].dump();
    EXPECT_EQ(records[unit]["link"], "eth");
  }
}

TEST(StationEmulation, FiveControllersAtOnce) { ProgramFiveUsbAnd({}); }

// Run only inside the private network of tests/umockdev/every_link.py.
TEST(StationEmulation, UsbAndEthernetAtOnce) {
  const std::vector<std::string> ethernet = EthernetUnits();
  if (ethernet.empty()) GTEST_SKIP() << "STATION_ETH_UNITS names no Ethernet unit";
  ProgramFiveUsbAnd(ethernet);
}

// How many events of this kind the station has printed so far.
size_t Count(const std::string& out, const std::string& event) {
  size_t n = 0;
  for (const json& e : Lines(out)) n += e.value("event", "") == event ? 1 : 0;
  return n;
}

// Waits (bounded) until the station has printed `n` events of this kind.
bool WaitFor(const emu::BedChild& station, const std::string& event, size_t n) {
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (Count(emu::ReadSoFar(station), event) < n) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

TEST(StationEmulation, WatchedLocation) {
  const char* model = "TXC7390";
  auto first = emu::MakeEngine(model, 256), second = emu::MakeEngine(model, 256);
  emu::Rig rig;
  // Two boards, one after the other, in the fixture's socket 1-4.
  HidController& a = rig.hid.emplace_back();
  HidController& b = rig.hid.emplace_back();
  a.description = b.description = {.node = 0, .port = "1-4", .serial = "BOARD"};
  a.engine = first.get();
  b.engine = second.get();
  rig.Tick();
  const auto image = test_images::MakeImage(20000, model);
  emu::BedChild station =
      emu::StartInBed(rig.bed,
                      {Station(), "program", emu::WriteTempFile("station-watch.bin", image), "usb:1-4",
                       "--watch", "--settle", "1", "--json"},
                      {});
  ASSERT_GT(station.pid, 0);
  // A contact that touches for less than the settle time programs nothing.
  std::this_thread::sleep_for(500ms);
  ASSERT_TRUE(emu::AddHidController(rig.bed, a));
  std::this_thread::sleep_for(400ms);
  emu::HidRemove(rig.bed, a);
  std::this_thread::sleep_for(1600ms);
  EXPECT_EQ(Count(emu::ReadSoFar(station), "present"), 0u);
  // The board comes and is programmed; pendrel reboots it, and it leaves the
  // bus for less than the settle time: the same board, not a new one.
  ASSERT_TRUE(emu::AddHidController(rig.bed, a));
  ASSERT_TRUE(WaitFor(station, "end", 1)) << emu::ReadSoFar(station);
  emu::HidRemove(rig.bed, a);
  std::this_thread::sleep_for(400ms);
  ASSERT_TRUE(emu::AddHidController(rig.bed, a));
  std::this_thread::sleep_for(2000ms);
  EXPECT_EQ(Count(emu::ReadSoFar(station), "start"), 1u);
  // Taken out: the socket is empty; the next board is programmed, once,
  // however long it stays.
  emu::HidRemove(rig.bed, a);
  ASSERT_TRUE(WaitFor(station, "gone", 1)) << emu::ReadSoFar(station);
  ASSERT_TRUE(emu::AddHidController(rig.bed, b));
  ASSERT_TRUE(WaitFor(station, "end", 2)) << emu::ReadSoFar(station);
  std::this_thread::sleep_for(2000ms);
  kill(station.pid, SIGINT);
  emu::ChildResult r = emu::WaitInBed(station, 30s);
  emu::HidRemove(rig.bed, b);

  EXPECT_EQ(r.exitCode, 0) << emu::Describe(r);
  std::vector<std::string> kinds;
  for (const json& e : Lines(r.out))
    if (e["event"] != "progress") kinds.push_back(e["event"]);
  const std::vector<std::string> board = {"present", "start", "identification", "end"};
  std::vector<std::string> expected = board;
  expected.push_back("gone");
  expected.insert(expected.end(), board.begin(), board.end());
  expected.push_back("summary");
  EXPECT_EQ(kinds, expected) << r.out;
  EXPECT_EQ(sim::SimFlashImage(*first), image);
  EXPECT_EQ(sim::SimFlashImage(*second), image);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (emu::PreloadLibrary().empty() || Station().empty()) {
    std::printf("skipped: umockdev's preload library or PENDREL_STATION is missing\n");
    return 77;
  }
  return RUN_ALL_TESTS();
}
