// Whole runs of the Windows pendrel.exe under wine64 against HID controllers
// emulated in a umockdev test bed. Wine's HID bus (winebus.sys, hosted by
// winedevice.exe) finds hidraw devices through libudev and talks to
// /dev/hidrawN; with every Wine process of the prefix started inside the
// bed, that is our emulated node, so SetupAPI, HID.DLL, ReadFile and
// WriteFile of the Windows build carry their reports to the talo-sim
// engine. Only 64-bit Wine can do this: umockdev's preload library is a
// 64-bit Linux library, and a 32-bit Wine's processes cannot load it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "pendrel_version.h"
#include "umockdev/emulated_bed.h"
#include "umockdev/hid_emulation.h"
#include "unit/flash_test_images.h"

namespace {

using emu::Describe;
using emu::HidController;
namespace fs = std::filesystem;

constexpr const char* kBanner = "\nPendrel V" PENDREL_VERSION
                                " - Loads raw flash data files into the Talo device\n"
                                "Copyright (c) 2026 Pendrel developers\n\n";
constexpr const char* kIdent = "Talo Simulated Controller V1.00\n";
constexpr const char* kPrompt = "\nPress any key to exit program";

// What the runs need, found once in main().
struct WineTools {
  std::string loader;  // wine64
  std::string server;  // its wineserver
  std::string exe;     // the 64-bit pendrel.exe
};
WineTools gTools;

bool Executable(const std::string& path) { return !path.empty() && access(path.c_str(), X_OK) == 0; }

std::string InPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "";
  for (size_t at = 0; at <= dirs.size();) {
    size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(at, end - at) + "/" + name;
    if (end > at && Executable(candidate)) return candidate;
    at = end + 1;
  }
  return "";
}

// A PE32+ image for x86-64, which wine64 runs; a 32-bit one it does not.
bool Is64BitWindowsProgram(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> head(4096);
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  if (in.gcount() < 0x40) return false;
  uint32_t pe = 0;
  std::memcpy(&pe, &head[0x3C], sizeof pe);
  if (pe + 6 > static_cast<uint32_t>(in.gcount())) return false;
  return std::memcmp(&head[pe], "PE\0\0\x64\x86", 6) == 0;
}

// The reason to skip, or empty when everything is there.
std::string FindTools() {
  if (emu::PreloadLibrary().empty()) return "the umockdev preload library is not installed";
  for (const char* candidate : {"/usr/lib/wine/wine64", "/usr/lib64/wine/wine64"}) {
    if (Executable(candidate)) {
      gTools.loader = candidate;
      break;
    }
  }
  if (gTools.loader.empty()) gTools.loader = InPath("wine64");
  if (gTools.loader.empty()) {
    return "wine64 is not installed (the emulated devices need 64-bit Wine: umockdev's preload "
           "library is a 64-bit Linux library, which 32-bit Wine cannot load)";
  }
  const std::string dir = fs::path(gTools.loader).parent_path().string();
  for (const std::string& candidate : {dir + "/wineserver64", dir + "/wineserver"}) {
    if (Executable(candidate)) {
      gTools.server = candidate;
      break;
    }
  }
  if (gTools.server.empty()) gTools.server = InPath("wineserver");
  if (gTools.server.empty()) return "wineserver is not installed";
  for (const char* variable : {"PENDREL_EXE", "PENDREL_EXE64"}) {
    const char* path = std::getenv(variable);
    if (path != nullptr && fs::is_regular_file(path) && Is64BitWindowsProgram(path)) {
      gTools.exe = path;
      return "";
    }
  }
  const char* path = std::getenv("PENDREL_EXE64");
  return std::string("no 64-bit Windows build at ") + (path ? path : "(PENDREL_EXE64 unset)") +
         " (`cmake --preset windows64 && cmake --build --preset windows64`)";
}

// A throw-away prefix. It outlives the beds of one test: only its
// wineserver, and with it winedevice.exe, must end with each bed.
struct WinePrefix {
  std::string dir;
  bool booted = false;
  WinePrefix() {
    std::string pattern = (fs::temp_directory_path() / "pendrel-wine-usb-XXXXXX").string();
    dir = mkdtemp(pattern.data()) ? pattern : "";
  }
  ~WinePrefix() {
    if (!dir.empty()) fs::remove_all(dir);
  }
  // While `booting`, Wine's HID bus driver is not loaded: it would start
  // with SDL still on, which may look at devices by other ways than udev.
  std::vector<std::string> Environment(bool booting = false) const {
    return {"WINEPREFIX=" + dir + "/prefix", "WINEARCH=win64", "WINEDEBUG=-all",
            std::string("WINEDLLOVERRIDES=mscoree,mshtml=") + (booting ? ";winebus.sys=d" : ""),
            "WINELOADER=" + gTools.loader, "WINESERVER=" + gTools.server,
            // No desktop window, ever.
            "DISPLAY", "WAYLAND_DISPLAY"};
  }
};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// "VID_0483&PID_5750", as device instance IDs spell them.
std::string InstanceIds(const emu::HidDeviceDescription& description) {
  char ids[32];
  std::snprintf(ids, sizeof ids, "VID_%04X&PID_%04X", description.vendor, description.productId);
  return ids;
}

// How many interface keys in `reg query /s` output belong to a device with
// one of these IDs and are linked (enabled) in this session.
size_t LinkedInterfaces(const std::string& regOutput, const std::vector<std::string>& ids) {
  size_t count = 0;
  bool ours = false;
  size_t at = 0;
  while (at < regOutput.size()) {
    size_t end = regOutput.find('\n', at);
    if (end == std::string::npos) end = regOutput.size();
    const std::string line = Upper(regOutput.substr(at, end - at));
    at = end + 1;
    if (line.rfind("HKEY_", 0) == 0) {
      ours = false;
      for (const std::string& id : ids) ours = ours || line.find(id) != std::string::npos;
    } else if (ours && line.find("LINKED") != std::string::npos && line.find("0X1") != std::string::npos) {
      ++count;
    }
  }
  return count;
}

// The devices of one bed, the ticker that ends their held reads, and the
// Wine programs run inside.
struct WineRig {
  WinePrefix& wine;
  emu::Bed bed;
  std::list<HidController> hid;
  std::unique_ptr<emu::Ticker> ticker;
  bool serverStarted = false;

  explicit WineRig(WinePrefix& prefix) : wine(prefix) {}

  HidController& AddHid(emu::HidDeviceDescription description, sim::SimEngine* engine = nullptr) {
    // Wine makes the product string from HID_NAME: give it the product alone.
    if (description.hidName.empty()) description.hidName = description.product;
    return emu::AddController(bed, hid, description, engine, emu::AddHidController);
  }

  emu::ChildResult Wine(std::vector<std::string> args, std::chrono::seconds timeout, bool booting = false,
                        const std::vector<std::string>& environment = {}) {
    if (!ticker) {
      // Started once every device is in: it walks the list.
      ticker = std::make_unique<emu::Ticker>([this] {
        for (HidController& d : hid) emu::HidTick(d);
      });
    }
    serverStarted = true;
    args.insert(args.begin(), gTools.loader);
    // Wine is not built with the sanitizers: their runtime stays out.
    std::vector<std::string> env = wine.Environment(booting);
    env.insert(env.end(), environment.begin(), environment.end());
    return emu::RunInBed(bed, args, env, timeout, false);
  }

  // Boots the prefix the first time, inside this bed: no Wine process of
  // it may run where the real devices are visible. Wine's udev bus starts
  // only with SDL off, so the HID bus driver stays unloaded until that is
  // set, and the server is stopped once more.
  bool Boot() {
    if (wine.booted) return true;
    auto boot = Wine({"wineboot", "-i"}, std::chrono::seconds(240), true);
    if (boot.exitCode != 0) {
      ADD_FAILURE() << "wineboot: " << Describe(boot);
      return false;
    }
    // Right after a fresh prefix's boot, on a loaded machine, Wine can still
    // fail to start reg.exe ("Application could not be started"): a few
    // bounded tries.
    emu::ChildResult reg;
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(std::chrono::seconds(2));
      reg = Wine({"reg", "add", "HKLM\\System\\CurrentControlSet\\Services\\winebus", "/v", "Enable SDL",
                  "/t", "REG_DWORD", "/d", "0", "/f"},
                 std::chrono::seconds(60), true);
      if (reg.exitCode == 0) break;
    }
    if (reg.exitCode != 0) {
      ADD_FAILURE() << "reg add: " << Describe(reg);
      return false;
    }
    StopServer();
    for (HidController& d : hid) {
      std::lock_guard<std::mutex> hold(d.lock);
      EXPECT_EQ(d.counters.descriptorIoctls, 0) << "the HID bus ran while the prefix booted";
    }
    wine.booted = true;
    return true;
  }

  // Wine's bus driver adds the devices while the session starts, beside
  // the first program: pendrel.exe started at once could search before
  // they are there. Waits until every emulated device's HID interface is
  // enabled: its "Control\Linked" value, which the Wine session keeps in a
  // volatile key, is 1.
  bool WaitForInterfaces() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    std::vector<std::string> ids;
    for (const HidController& d : hid) ids.push_back(InstanceIds(d.description));
    std::string last;
    int polls = 0;
    for (;;) {
      auto r = Wine({"reg", "query",
                     "HKLM\\System\\CurrentControlSet\\Control\\DeviceClasses\\"
                     "{4d1e55b2-f16f-11cf-88cb-001111000030}",
                     "/s"},
                    std::chrono::seconds(60));
      last = r.out;
      ++polls;
      if (LinkedInterfaces(r.out, ids) >= hid.size()) {
        if (std::getenv("PENDREL_UMOCKDEV_VERBOSE") != nullptr)
          std::printf("%zu HID interface(s) enabled after %d look(s)\n", hid.size(), polls);
        return true;
      }
      if (std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ADD_FAILURE() << "Wine did not enable the devices' HID interfaces:\n" << last;
    return false;
  }

  // pendrel.exe ARGS, with `environment` ("NAME=value") added to the
  // prefix's; the prefix's server is stopped before it returns, so nothing
  // touches the devices while the test looks at them.
  emu::ChildResult Run(const std::vector<std::string>& args,
                       const std::vector<std::string>& environment = {}) {
    if (!WaitForInterfaces()) return {};
    std::vector<std::string> command{gTools.exe};
    command.insert(command.end(), args.begin(), args.end());
    auto r = Wine(command, std::chrono::seconds(180), false, environment);
    StopServer();
    if (std::getenv("PENDREL_UMOCKDEV_VERBOSE") != nullptr) std::printf("%s\n", Describe(r).c_str());
    return r;
  }

  // winedevice.exe outlives pendrel.exe and keeps the emulated nodes open;
  // it has to go, from inside, while the bed still answers.
  void StopServer() {
    if (!serverStarted) return;
    std::vector<std::string> env = wine.Environment();
    emu::RunInBed(bed, {gTools.server, "-k"}, env, std::chrono::seconds(30), false);
    emu::RunInBed(bed, {gTools.server, "-w"}, env, std::chrono::seconds(30), false);
    serverStarted = false;
  }

  ~WineRig() {
    StopServer();
    ticker.reset();
    for (HidController& d : hid) emu::HidDetach(bed, d);
  }
};

// What a device went through, read under its lock (umockdev's worker
// thread wrote it).
struct Seen {
  emu::HidCounters counters;
  bool lost = false;
  std::vector<uint8_t> flash;
  uint32_t hostFaults = 0;
};
Seen SeenBy(HidController& d) {
  std::lock_guard<std::mutex> hold(d.lock);
  Seen seen{d.counters, d.lost, {}, 0};
  if (d.engine != nullptr) {
    seen.flash = sim::SimFlashImage(*d.engine);
    seen.hostFaults = sim::SimHostFaults(*d.engine);
  }
  return seen;
}

// The HID link's 256-byte blocks.
std::unique_ptr<sim::SimEngine> MakeEngine(const char* model, std::vector<sim::FaultPlan> faults = {}) {
  return emu::MakeEngine(model, 256, std::move(faults));
}

// What the Windows C runtime's text-mode stdout writes for `text`.
std::string Crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// The progress line, checked and cut out of the output: "Total size is
// NkB", then redraws that each erase exactly what was printed before
// ("XkB (P%) of NkB written"), the count never going back. Returns the
// output with the line replaced by "<progress>" and the last kB shown.
std::string CutProgress(const std::string& out, long totalKb, long* lastKb) {
  const std::string head = "Programming application data: ";
  size_t at = out.find(head);
  if (at == std::string::npos) return out;
  at += head.size();
  size_t pos = at;
  const std::string first = "Total size is " + std::to_string(totalKb) + "kB";
  EXPECT_EQ(out.compare(pos, first.size(), first), 0) << out.substr(pos, 40);
  pos += first.size();
  size_t printed = first.size();
  long previous = -1;
  *lastKb = -1;
  while (pos < out.size() && out[pos] == '\b') {
    size_t erase = 0;
    while (pos < out.size() && out[pos] == '\b') ++pos, ++erase;
    EXPECT_EQ(erase, printed) << "a redraw must erase what the last one printed";
    long kb = -1, percent = -1, total = -1;
    int used = 0;
    if (std::sscanf(out.c_str() + pos, "%ldkB (%ld%%) of %ldkB written%n", &kb, &percent, &total, &used) !=
        3) {
      ADD_FAILURE() << "not a progress text: " << out.substr(pos, 40);
      break;
    }
    EXPECT_EQ(total, totalKb);
    EXPECT_GE(kb, previous);
    EXPECT_LE(percent, 100);
    previous = kb;
    *lastKb = kb;
    printed = static_cast<size_t>(used);
    pos += printed;
  }
  return out.substr(0, at) + "<progress>" + out.substr(pos);
}

std::string ImageFile(const std::string& name, const std::vector<uint8_t>& image) {
  return emu::WriteTempFile(name, image);
}

// A complete job: exit 0, the exact console text, the flash equal to the
// image, and no mistake the engine could see.
void ExpectCompleteRun(const emu::ChildResult& r, HidController& device, const std::vector<uint8_t>& image,
                       bool verifies) {
  EXPECT_EQ(r.exitCode, 0) << Describe(r);
  long lastKb = 0;
  const long totalKb = static_cast<long>(image.size() >> 10);
  EXPECT_EQ(CutProgress(r.out, totalKb, &lastKb),
            Crlf(std::string(kBanner) + kIdent + "Programming application data: ") + "<progress>" +
                Crlf(std::string(verifies ? " - Ok - Verifying - Ok\n" : " - Ok\n") + kPrompt))
      << Describe(r);
  EXPECT_EQ(lastKb, totalKb);
  const Seen seen = SeenBy(device);
  EXPECT_EQ(seen.flash, image);
  EXPECT_EQ(seen.hostFaults, 0u);
  EXPECT_EQ(seen.counters.wrongLengthWrites, 0);
}

TEST(WineHid, CompleteRuns) {
  WinePrefix wine;
  {
    // Family 1, and beside it a HID device with another product string,
    // which must not get a single output report.
    auto engine = MakeEngine("TXC5110");
    WineRig rig(wine);
    HidController& other = rig.AddHid({.node = 0, .product = "Talo Controller2"});
    HidController& device = rig.AddHid({.node = 1}, engine.get());
    ASSERT_TRUE(rig.Boot());
    const auto image = test_images::MakeImage(20000, "TXC5110");
    auto r = rig.Run({ImageFile("wine-txc5110.bin", image), "-usb"});
    ExpectCompleteRun(r, device, image, false);
    EXPECT_GT(SeenBy(device).counters.writes, 20000 / 62);
    // Wine opens every hidraw node, reads its descriptor and keeps reading
    // from it; only writes come from pendrel alone.
    EXPECT_GT(SeenBy(other).counters.descriptorIoctls, 0);
    EXPECT_EQ(SeenBy(other).counters.writes, 0);
  }
  {
    // Family 2 and up: flush and verify after the last block.
    auto engine = MakeEngine("TXC7390");
    WineRig rig(wine);
    HidController& device = rig.AddHid({}, engine.get());
    const auto image = test_images::MakeImage(40000 + 77, "TXC7390");
    auto r = rig.Run({ImageFile("wine-txc7390.bin", image), "-usb"});
    ExpectCompleteRun(r, device, image, true);
  }
  {
    // Other report lengths, read by HID.DLL from the descriptor: 16-byte
    // output reports carry 14 payload bytes, so a 256-byte block takes 19.
    auto engine = MakeEngine("TXC7390");
    WineRig rig(wine);
    HidController& device = rig.AddHid({.inputBytes = 32, .outputBytes = 16}, engine.get());
    const auto image = test_images::MakeImage(6000, "TXC7390");
    auto r = rig.Run({ImageFile("wine-short.bin", image), "-usb"});
    ExpectCompleteRun(r, device, image, true);
    EXPECT_GT(SeenBy(device).counters.writes, 6000 / 14);
  }
}

TEST(WineHid, Failures) {
  WinePrefix wine;
  {
    // A controller that never answers: the search finds it by its product
    // string, the handshake gets nothing back.
    WineRig rig(wine);
    HidController& device = rig.AddHid({});
    ASSERT_TRUE(rig.Boot());
    auto r = rig.Run({ImageFile("wine-silent.bin", test_images::MakeImage(3000, "TXC7390")), "-usb"});
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    EXPECT_EQ(r.out, Crlf(std::string(kBanner) + "No or invalid response from Talo device\n" + kPrompt))
        << Describe(r);
    EXPECT_GT(SeenBy(device).counters.writes, 0);
  }
  {
    // Unplugged mid-run: from the 20th write command on, the node fails
    // every read (EIO) and write (ENODEV), as hidraw does after a
    // disconnect. Wine's HID bus turns the failed writes into failed
    // WriteFile calls; the block is not written, and that is what the run
    // reports. (Wine's udev hotplug removal is not exercised: umockdev
    // would not send a "remove" uevent for this record from the harness.)
    auto engine = MakeEngine("TXC7390", {{"write", 20, sim::FaultKind::DropLink}});
    WineRig rig(wine);
    HidController& device = rig.AddHid({}, engine.get());
    const auto image = test_images::MakeImage(40000, "TXC7390");
    auto r = rig.Run({ImageFile("wine-unplug.bin", image), "-usb"});
    EXPECT_EQ(r.exitCode, 1) << Describe(r);
    long lastKb = 0;
    EXPECT_EQ(CutProgress(r.out, static_cast<long>(image.size() >> 10), &lastKb),
              Crlf(std::string(kBanner) + kIdent + "Programming application data: ") + "<progress>" +
                  Crlf(std::string("\nPrograming Error\nFailed to write data to Flash\n") + kPrompt))
        << Describe(r);
    const Seen seen = SeenBy(device);
    EXPECT_TRUE(seen.lost);
    EXPECT_GT(seen.counters.failedReads, 0);
    // 19 blocks of 256 bytes went in before the plug came out.
    EXPECT_EQ(lastKb, 19 * 256 / 1024);
    EXPECT_EQ(seen.flash, std::vector<uint8_t>(image.begin(), image.begin() + 19 * 256));
  }
}

TEST(WineHid, TakesTheNamedController) {
  // Two controllers at ports of their own with serial numbers of their own;
  // each run names one through PENDREL_USB_DEVICE.
  WinePrefix wine;
  auto first = MakeEngine("TXC7390");
  auto second = MakeEngine("TXC7390");
  WineRig rig(wine);
  HidController& a = rig.AddHid({.node = 0, .port = "1-2", .serial = "WINE-A"}, first.get());
  HidController& b = rig.AddHid({.node = 1, .port = "1-3", .serial = "WINE-B"}, second.get());
  ASSERT_TRUE(rig.Boot());
  const auto image = test_images::MakeImage(6000, "TXC7390");
  auto r = rig.Run({ImageFile("wine-second.bin", image), "-usb"}, {"PENDREL_USB_DEVICE=serial=WINE-B"});
  ExpectCompleteRun(r, b, image, true);
  EXPECT_EQ(SeenBy(a).counters.writes, 0);

  const auto other = test_images::MakeImage(5000, "TXC7390");
  r = rig.Run({ImageFile("wine-first.bin", other), "-usb"}, {"PENDREL_USB_DEVICE=serial=WINE-A"});
  ExpectCompleteRun(r, a, other, true);
  EXPECT_EQ(SeenBy(b).flash, image);

  // Wine 8.0 puts no USB device node above the HID collection (its
  // instance ID is HID\VID_0483&PID_5750\0&WINE-B&0&1, and CM_Get_Parent
  // gives no parent) and no location path or information: a port name
  // matches nothing there, as a serial number no controller has.
  for (const char* name : {"PENDREL_USB_DEVICE=serial=WINE-C", "PENDREL_USB_DEVICE=1-3"}) {
    r = rig.Run({ImageFile("wine-none.bin", image), "-usb"}, {name});
    EXPECT_EQ(r.exitCode, 1) << name << "\n" << Describe(r);
    EXPECT_EQ(r.out, Crlf(std::string(kBanner) + "No Talo USB devices found\n" + kPrompt)) << Describe(r);
  }
}

// The end events among the station's --json lines (ended by "\r\n" there).
std::vector<std::string> EndEvents(const std::string& out) {
  std::vector<std::string> ends;
  size_t at = 0;
  while ((at = out.find("{\"", at)) != std::string::npos) {
    size_t end = out.find('\n', at);
    std::string line = out.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find("\"event\":\"end\"") != std::string::npos) ends.push_back(line);
    at = end == std::string::npos ? out.size() : end;
  }
  return ends;
}

TEST(WineHid, StationProgramsTwoNamedControllersAtOnce) {
  // pendrel-station.exe beside the 64-bit pendrel.exe. Under Wine only the
  // serial numbers tell the two apart: no USB device stands above a HID
  // collection there, so there is no location to name.
  const std::string station = (fs::path(gTools.exe).parent_path() / "pendrel-station.exe").string();
  ASSERT_TRUE(fs::is_regular_file(station)) << "no pendrel-station.exe beside " << gTools.exe;
  WinePrefix wine;
  auto first = MakeEngine("TXC7390");
  auto second = MakeEngine("TXC7390");
  WineRig rig(wine);
  HidController& a = rig.AddHid({.node = 0, .port = "1-2", .serial = "WINE-A"}, first.get());
  HidController& b = rig.AddHid({.node = 1, .port = "1-3", .serial = "WINE-B"}, second.get());
  ASSERT_TRUE(rig.Boot());
  ASSERT_TRUE(rig.WaitForInterfaces());
  auto list = rig.Wine({station, "list"}, std::chrono::seconds(120));
  const auto image = test_images::MakeImage(6000, "TXC7390");
  auto r = rig.Wine({station, "program", ImageFile("wine-station.bin", image), "usb:serial=WINE-A",
                     "usb:serial=WINE-B", "--json"},
                    std::chrono::seconds(180));
  rig.StopServer();
  for (const char* name :
       {"usb-hid  usb:serial=WINE-A  \\\\?\\hid#", "usb-hid  usb:serial=WINE-B  \\\\?\\hid#"})
    EXPECT_NE(list.out.find(name), std::string::npos) << name << "\n" << Describe(list);
  EXPECT_EQ(r.exitCode, 0) << Describe(r);
  EXPECT_EQ(SeenBy(a).flash, image);
  EXPECT_EQ(SeenBy(b).flash, image);
  std::vector<std::string> ends = EndEvents(r.out);
  ASSERT_EQ(ends.size(), 2u) << r.out;
  for (const std::string& end : ends) {
    EXPECT_NE(end.find("\"result\":\"ok\""), std::string::npos) << end;
    EXPECT_NE(end.find("\"usb_location\":null"), std::string::npos) << end;
    const std::string prefix = "\"port\":\"usb:serial=";
    std::string serial = end.substr(end.find(prefix) + prefix.size(), 6);
    EXPECT_NE(end.find("\"usb_serial\":\"" + serial + "\""), std::string::npos) << end;
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (std::string reason = FindTools(); !reason.empty()) {
    std::printf("skipped: %s\n", reason.c_str());
    return 77;
  }
  std::printf(
      "pendrel.exe under wine64: %s (umockdev's preload library is a 64-bit Linux "
      "library, so 32-bit Wine cannot reach the emulated devices)\n",
      gTools.exe.c_str());
  std::fflush(stdout);
  return RUN_ALL_TESTS();
}
