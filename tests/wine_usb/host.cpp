// talo-sim-usb.exe [--hid|--bulk DEVICE-OPTIONS...]...: serves the devices
// until its standard input ends, then writes C:\pendrel-usb\report.txt (one
// line of counters per device) and deviceN.flash, and takes the devices out.
// C:\pendrel-usb\ready appears once every device is in.
//
// Device options (after --hid or --bulk, for that device): --vendor HEX,
// --product-id HEX, --serial TEXT, --product TEXT, --manufacturer TEXT,
// --port N, --inert (no controller behind it), --unopenable (listed, but its
// path cannot be opened), --timeout-out HEX and --short-out HEX (the first
// bulk transfer that begins with these bytes times out / is taken one byte
// short), and talo-sim's own options for the controller (--model, --start,
// --fault ...; a drop unplugs the device).
#include "host.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace host {
namespace {

// Every device's state and engine; the pipe threads and the query threads
// take it for each message.
std::mutex gLock;
std::vector<std::unique_ptr<Device>> gDevices;
HDEVINFO gSet = INVALID_HANDLE_VALUE;
constexpr int kInstancesPerDevice = 4;  // the program's two handles, the station's, one to spare
constexpr DWORD kPipeBuffer = 1 << 20;

std::string FolderFile(const std::string& name) { return std::string(wire::kFolder) + "\\" + name; }

// One overlapped call on `pipe`, waited for: whether it succeeded.
template <class Start>
bool Complete(HANDLE pipe, DWORD* done, Start start) {
  OVERLAPPED o{};
  o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  BOOL ok = start(&o);
  if (ok || GetLastError() == ERROR_IO_PENDING || GetLastError() == ERROR_MORE_DATA)
    ok = GetOverlappedResult(pipe, &o, done, TRUE);
  const DWORD error = GetLastError();
  CloseHandle(o.hEvent);
  SetLastError(error);
  return ok != FALSE;
}

HANDLE NewInstance(const std::string& name) {
  return CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                          kPipeBuffer, kPipeBuffer, 0, nullptr);
}

// Waits for the next client on `pipe`. Each instance lives as long as the
// host and is listened on again after each client, so that the name never
// goes away: a program that opens the device right after closing it finds
// an instance, or one that is busy for a moment (ERROR_PIPE_BUSY).
bool Connect(HANDLE pipe) {
  DWORD done = 0;
  if (Complete(pipe, &done, [&](OVERLAPPED* o) { return ConnectNamedPipe(pipe, o); }) ||
      GetLastError() == ERROR_PIPE_CONNECTED)
    return true;
  Sleep(100);
  return false;
}

bool Send(HANDLE pipe, const void* bytes, DWORD count) {
  DWORD done = 0;
  return Complete(pipe, &done, [&](OVERLAPPED* o) { return WriteFile(pipe, bytes, count, nullptr, o); });
}

// Gone for good: the interface leaves, every open handle breaks.
void PullPlug(Device& d) {
  d.gone = true;
  Unplug(gSet, d, false);
  for (HANDLE pipe : d.connections) DisconnectNamedPipe(pipe);
}

// The engine's reply, to every open handle: each HID handle gets its own
// copy of every input report, as from the class driver; a bulk reply is one
// short transfer (only one handle is open while a program runs).
void Deliver(Device& d, const std::vector<uint8_t>& reply) {
  std::vector<std::vector<uint8_t>> messages;
  const size_t room = d.description.inputReportLength - 2u;
  for (size_t at = 0; d.hid && at < reply.size(); at += room) {
    const size_t n = std::min(room, reply.size() - at);
    std::vector<uint8_t> report(d.description.inputReportLength, 0);
    report[1] = static_cast<uint8_t>(n);
    std::copy_n(reply.data() + at, n, report.data() + 2);
    messages.push_back(report);
  }
  if (!d.hid) messages.push_back(reply);
  for (const auto& message : messages) {
    for (HANDLE pipe : d.connections) {
      if (Send(pipe, message.data(), static_cast<DWORD>(message.size()))) ++d.counters.inMessages;
    }
  }
}

// Bytes for the controller (lock held).
void Feed(Device& d, const uint8_t* bytes, size_t count) {
  if (d.engine == nullptr) {
    ++d.counters.stray;
    return;
  }
  std::vector<uint8_t> reply;
  const uint32_t events = sim::SimFeed(*d.engine, bytes, count, reply);
  if (!reply.empty()) Deliver(d, reply);
  if (events & sim::kSimEventDropLink) PullPlug(d);
}

// A message on the device's pipe: an output report (HID), nothing (bulk).
void Take(Device& d, const uint8_t* message, DWORD count) {
  if (!d.hid) {
    ++d.counters.stray;
  } else if (count != d.description.outputReportLength) {
    ++d.counters.wrongLength;
  } else {
    ++d.counters.outputReports;
    Feed(d, message + 2, std::min<size_t>(message[1], count - 2u));
  }
}

std::string DevicePipe(const Device& d) {
  return "\\\\.\\pipe\\" + std::string(wire::kDevicePipePrefix) + std::to_string(d.number);
}

// One of the device's pipe instances: serves one open handle at a time.
void ServeDevice(Device& d, HANDLE pipe) {
  for (;;) {
    if (!Connect(pipe)) continue;
    {
      std::lock_guard<std::mutex> hold(gLock);
      ++d.counters.connections;
      d.connections.push_back(pipe);
      if (d.gone) DisconnectNamedPipe(pipe);
    }
    static thread_local uint8_t message[65536];
    DWORD got = 0;
    while (Complete(pipe, &got,
                    [&](OVERLAPPED* o) { return ReadFile(pipe, message, sizeof message, nullptr, o); })) {
      std::lock_guard<std::mutex> hold(gLock);
      Take(d, message, got);
    }
    {
      std::lock_guard<std::mutex> hold(gLock);
      std::erase(d.connections, pipe);
    }
    DisconnectNamedPipe(pipe);
  }
}

bool StartsWith(const uint8_t* bytes, uint32_t count, std::vector<uint8_t>& prefix) {
  if (prefix.empty() || count < prefix.size() || !std::equal(prefix.begin(), prefix.end(), bytes))
    return false;
  prefix.clear();  // once
  return true;
}

// One bulk OUT transfer (lock held).
wire::WriteAnswer Transfer(Device& d, const wire::Request& q) {
  if (d.gone) return {ERROR_DEVICE_NOT_CONNECTED, 0};
  ++d.counters.transfers;
  if (q.count == 0) {
    ++d.counters.zeroLength;
    return {0, 0};
  }
  if (StartsWith(q.data, q.count, d.timeoutPrefix)) {
    ++d.counters.timeouts;
    return {ERROR_SEM_TIMEOUT, 0};
  }
  uint32_t taken = q.count;
  if (StartsWith(q.data, q.count, d.shortPrefix)) {
    ++d.counters.shortWrites;
    --taken;
  }
  Feed(d, q.data, taken);
  return {0, taken};
}

// The answer to one question of a DLL.
std::vector<uint8_t> Answer(const wire::Request& q, DWORD size) {
  std::lock_guard<std::mutex> hold(gLock);
  Device* d = q.device < gDevices.size() ? gDevices[q.device].get() : nullptr;
  if (q.op == wire::kDescribe && d != nullptr) {
    wire::Description description = d->description;
    description.error = d->gone ? ERROR_DEVICE_NOT_CONNECTED : 0;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&description);
    return {bytes, bytes + sizeof description};
  }
  wire::WriteAnswer a{ERROR_INVALID_PARAMETER, 0};
  if (q.op == wire::kWrite && d != nullptr && !d->hid && size == wire::kRequestHead + q.count)
    a = Transfer(*d, q);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&a);
  return {bytes, bytes + sizeof a};
}

void AnswerQueries(HANDLE pipe) {
  static thread_local wire::Request request;
  for (;;) {
    if (!Connect(pipe)) continue;
    DWORD got = 0;
    if (Complete(pipe, &got,
                 [&](OVERLAPPED* o) { return ReadFile(pipe, &request, sizeof request, nullptr, o); }) &&
        got >= wire::kRequestHead) {
      const std::vector<uint8_t> answer = Answer(request, got);
      Send(pipe, answer.data(), static_cast<DWORD>(answer.size()));
      // Until the asker has read the answer and gone: a disconnect drops what is unread.
      Complete(pipe, &got,
               [&](OVERLAPPED* o) { return ReadFile(pipe, &request, sizeof request, nullptr, o); });
    }
    DisconnectNamedPipe(pipe);
  }
}

bool ParseHex(std::string_view text, std::vector<uint8_t>& bytes) {
  bytes.clear();
  if (text.empty() || text.size() % 2 != 0) return false;
  for (size_t at = 0; at < text.size(); at += 2) {
    unsigned value = 0;
    if (std::sscanf(std::string(text.substr(at, 2)).c_str(), "%2x", &value) != 1) return false;
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return true;
}

std::string SetId(std::string_view value, uint16_t& id) {
  unsigned number = 0;
  char rest = 0;
  if (std::sscanf(std::string(value).c_str(), "%4x%c", &number, &rest) != 1) return "four hex digits";
  id = static_cast<uint16_t>(number);
  return "";
}

std::string SetHex(std::string_view value, std::vector<uint8_t>& bytes) {
  return ParseHex(value, bytes) ? "" : "hex bytes";
}

std::string SetText(std::string_view value, std::string& text) {
  text = value;
  return "";
}

std::string SetPort(std::string_view value, int& port) {
  port = std::atoi(std::string(value).c_str());
  return port > 0 && port < 100 ? "" : "1 to 99";
}

constexpr FlagOption<Device> kDeviceFlags[] = {{"--inert", &Device::inert},
                                               {"--unopenable", &Device::unopenable}};
constexpr ValuedOption<Device> kDeviceValued[] = {
    {"--vendor", [](std::string_view v, Device& d) { return SetId(v, d.vendor); }},
    {"--product-id", [](std::string_view v, Device& d) { return SetId(v, d.productId); }},
    {"--serial", [](std::string_view v, Device& d) { return SetText(v, d.serial); }},
    {"--product", [](std::string_view v, Device& d) { return SetText(v, d.product); }},
    {"--manufacturer", [](std::string_view v, Device& d) { return SetText(v, d.manufacturer); }},
    {"--port", [](std::string_view v, Device& d) { return SetPort(v, d.port); }},
    {"--timeout-out", [](std::string_view v, Device& d) { return SetHex(v, d.timeoutPrefix); }},
    {"--short-out", [](std::string_view v, Device& d) { return SetHex(v, d.shortPrefix); }},
};

bool ParseDevices(int argc, char** argv) {
  for (int i = 1; i < argc;) {
    const std::string_view option = argv[i];
    if (option == "--hid" || option == "--bulk") {
      auto d = std::make_unique<Device>();
      d->number = static_cast<int>(gDevices.size());
      d->hid = option == "--hid";
      d->productId = d->hid ? 0x5750 : 0x1512;
      d->port = d->number + 1;
      d->serial = "TALO" + std::to_string(1000 + d->number);
      gDevices.push_back(std::move(d));
      ++i;
      continue;
    }
    OptionParse parse = OptionParse::NotMine;
    if (!gDevices.empty()) {
      Device& d = *gDevices.back();
      parse = ParseTableOption<Device>(argc, argv, i, kDeviceFlags, kDeviceValued, d);
      if (parse == OptionParse::NotMine) parse = ParseCommonOption(argc, argv, i, d.engineOptions);
    }
    if (parse == OptionParse::Bad) return false;
    if (parse == OptionParse::NotMine) {
      std::printf("talo-sim-usb: %s: expected --hid or --bulk and their options\n", argv[i]);
      return false;
    }
  }
  return !gDevices.empty();
}

bool StartEngine(Device& d) {
  if (d.inert) return true;
  sim::SimConfig config = d.engineOptions.config;
  if (config.linkMaxBlock == 0) config.linkMaxBlock = d.hid ? 256 : 2048;
  d.engine = std::make_unique<sim::SimEngine>();
  if (sim::SimInit(*d.engine, config)) return true;
  std::printf("talo-sim-usb: device %d: %s\n", d.number, sim::SimConfigError(*d.engine).c_str());
  return false;
}

void WriteFileBytes(const std::string& name, const void* bytes, size_t count) {
  if (FILE* f = std::fopen(FolderFile(name).c_str(), "wb")) {
    std::fwrite(bytes, 1, count, f);
    std::fclose(f);
  }
}

// Lock held: what each device went through, and its flash.
void WriteReport() {
  std::string report;
  for (const auto& d : gDevices) {
    const Counters& c = d->counters;
    char line[400];
    std::snprintf(
        line, sizeof line,
        "device=%d kind=%s connections=%d output_reports=%d wrong_length=%d transfers=%d "
        "zero_length=%d in_messages=%d stray=%d timeouts=%d short_writes=%d host_faults=%u gone=%d\n",
        d->number, d->hid ? "hid" : "bulk", c.connections, c.outputReports, c.wrongLength, c.transfers,
        c.zeroLength, c.inMessages, c.stray, c.timeouts, c.shortWrites,
        d->engine ? sim::SimHostFaults(*d->engine) : 0u, d->gone ? 1 : 0);
    report += line;
    if (d->engine == nullptr) continue;
    const std::vector<uint8_t> flash = sim::SimFlashImage(*d->engine);
    WriteFileBytes("device" + std::to_string(d->number) + ".flash", flash.data(), flash.size());
  }
  WriteFileBytes("report.txt", report.data(), report.size());
}

// Takes every device out again, also after a partial start.
void TakeAllOut() {
  for (const auto& d : gDevices) Unplug(gSet, *d, true);
}

}  // namespace
}  // namespace host

int main(int argc, char** argv) {
  using namespace host;
  if (!ParseDevices(argc, argv)) return 2;
  CreateDirectoryA(wire::kFolder, nullptr);
  DeleteFileA(FolderFile("ready").c_str());
  gSet = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  for (const auto& d : gDevices) {
    Describe(*d);
    if (!StartEngine(*d) || !Plug(gSet, *d)) {
      TakeAllOut();
      return 1;
    }
  }
  for (const auto& d : gDevices) {
    for (int k = 0; k < kInstancesPerDevice; ++k)
      std::thread(ServeDevice, std::ref(*d), NewInstance(DevicePipe(*d))).detach();
  }
  for (int k = 0; k < 2; ++k) std::thread(AnswerQueries, NewInstance(wire::kQueryPipe)).detach();
  WriteFileBytes("ready", "ready\n", 6);
  char ignored[64];
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), ignored, sizeof ignored, &got, nullptr) && got > 0) {
  }
  std::lock_guard<std::mutex> hold(gLock);
  TakeAllOut();
  WriteReport();
  std::fflush(stdout);
  // The pipe threads are still blocked in their waits: end here, not through
  // the destructors they would race with.
  ExitProcess(0);
}
