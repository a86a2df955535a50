// pendrel-bench: the measurements that need the programmer in-process.
//
//   pendrel-bench usb hid|bulk IMAGE MODEL [--delay-us N]
//       one whole run (open, handshake, identification, programming, reboot,
//       close) over a fake USB device whose controller is the talo-sim
//       engine; every reply arrives N microseconds after its command (0: at
//       once, from inside the host's write).
//   pendrel-bench checkimage IMAGE MODEL
//       CheckImage over the file, then a plain sequential read of it, both
//       with the page cache warm.
//
// Each prints one line "BENCH {json}" after whatever the run printed.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/status.h"
#include "engine/engine.h"
#include "flash/controller.h"
#include "flash/data_file.h"
#include "flash/program.h"
#include "link/link.h"
#include "protocol/commands.h"
#include "support/fake_hid.h"
#include "support/fake_winusb.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto tv = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return tv(usage.ru_utime) + tv(usage.ru_stime);
}

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Times a thread of this process gave up the processor to wait: a receive
// path that polls would show many per reply, one that blocks a few.
long VoluntarySwitches(int who = RUSAGE_SELF) {
  rusage usage{};
  getrusage(who, &usage);
  return usage.ru_nvcsw;
}

long MaxRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Hands each reply to the fake device after a fixed delay, from a thread of
// its own, as a device that answers late would: the host's reader must then
// wait for it. Commands come strictly one after another, so one slot will do.
struct Delayer {
  std::mutex lock;
  std::condition_variable changed;
  std::optional<std::pair<Clock::time_point, std::vector<uint8_t>>> pending;
  bool stop = false;
  void (*inject)(const std::vector<uint8_t>&) = nullptr;
  std::thread worker;

  void Start(void (*injectFn)(const std::vector<uint8_t>&)) {
    inject = injectFn;
    worker = std::thread([this] { Run(); });
  }
  void Post(Clock::time_point due, std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> hold(lock);
    pending.emplace(due, std::move(bytes));
    changed.notify_all();
  }
  double cpuSeconds = 0;  // the delaying thread's own time: the device's, not the host's
  long switches = 0;      // and its own waits
  void Run() {
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
      changed.wait(hold, [this] { return stop || pending.has_value(); });
      if (stop) {
        cpuSeconds = ThreadCpuSeconds();
        switches = VoluntarySwitches(RUSAGE_THREAD);
        return;
      }
      auto due = pending->first;
      hold.unlock();
      std::this_thread::sleep_until(due);
      hold.lock();
      std::vector<uint8_t> bytes = std::move(pending->second);
      pending.reset();
      hold.unlock();
      inject(bytes);
      hold.lock();
    }
  }
  void Stop() {
    if (!worker.joinable()) return;
    {
      std::lock_guard<std::mutex> hold(lock);
      stop = true;
      changed.notify_all();
    }
    worker.join();
  }
  ~Delayer() { Stop(); }
};

void InjectHid(const std::vector<uint8_t>& bytes) { fake::hid.InjectPayload(bytes); }
void InjectBulk(const std::vector<uint8_t>& bytes) { fake::winusb.InjectRaw(bytes); }

int Usage() {
  std::printf(
      "usage: pendrel-bench usb hid|bulk IMAGE MODEL [--delay-us N]\n"
      "       pendrel-bench checkimage IMAGE MODEL\n");
  return 2;
}

int UsbRun(std::string_view link, const char* image, const char* model, uint32_t delayUs) {
  bool hid = link == "hid";
  if (!hid && link != "bulk") return Usage();

  sim::SimEngine engine;
  sim::SimConfig config;
  config.model = model;
  if (!sim::SimInit(engine, config)) {
    std::printf("pendrel-bench: %s\n", sim::SimConfigError(engine).c_str());
    return 2;
  }
  // The engine's own time is the device's, not the host's: it is measured
  // on the thread that runs it and taken off the process's time below.
  double engineCpu = 0;
  Delayer delayer;
  if (delayUs != 0) delayer.Start(hid ? InjectHid : InjectBulk);
  fake::Responder responder = [&](std::span<const uint8_t> sent, std::vector<uint8_t>& reply) {
    double before = ThreadCpuSeconds();
    uint32_t events = sim::SimFeed(engine, sent.data(), sent.size(), reply);
    engineCpu += ThreadCpuSeconds() - before;
    if (delayUs != 0 && !reply.empty()) {
      delayer.Post(Clock::now() + std::chrono::microseconds(delayUs), std::move(reply));
      reply.clear();
    }
    return (events & sim::kSimEventDropLink) != 0;
  };

  fake::FakeWinUsbConfig bulk;
  fake::FakeHidConfig hidConfig;
  if (hid) {
    bulk.devices.clear();
    hidConfig.responder = responder;
  } else {
    bulk.responder = responder;
  }
  fake::winusb.Install(bulk);
  fake::hid.Install(hidConfig);

  auto began = Clock::now();
  double cpuBefore = ProcessCpuSeconds();
  long switchesBefore = VoluntarySwitches();
  bool ok = LinkOpen("", 0, false, LinkKind::UsbHid) && Handshake() && QueryIdentification() != nullptr &&
            ProgramFlash(image, 0, 0) && Reboot();
  uint32_t blockSize = LinkState.maxBlockSize;
  LinkClose();
  if (delayUs != 0) {
    delayer.Stop();
    engineCpu += delayer.cpuSeconds;
  }
  double cpu = ProcessCpuSeconds() - cpuBefore;
  long switches = VoluntarySwitches() - switchesBefore - delayer.switches;
  double wall = Seconds(Clock::now() - began);
  if (!ok) std::printf("\npendrel-bench: run failed: %s\n", LastStatusText());

  sim::SimStats stats = sim::SimGetStats(engine);
  uint64_t blocks = blockSize ? (stats.bytesWritten + blockSize - 1) / blockSize : 0;
  std::printf(
      "\nBENCH {\"ok\":%s,\"link\":\"%s\",\"bytes\":%llu,\"blockSize\":%u,\"blocks\":%llu,"
      "\"hostFaults\":%u,\"wallS\":%.6f,\"cpuS\":%.6f,\"engineCpuS\":%.6f,\"delayUs\":%u,\"maxRssKb\":%ld,"
      "\"voluntarySwitches\":%ld}\n",
      ok ? "true" : "false", hid ? "hid" : "bulk", static_cast<unsigned long long>(stats.bytesWritten),
      blockSize, static_cast<unsigned long long>(blocks), stats.hostFaults, wall, cpu, engineCpu, delayUs,
      MaxRssKb(), switches);
  fake::winusb.Uninstall();
  fake::hid.Uninstall();
  return ok && stats.hostFaults == 0 ? 0 : 1;
}

// A plain sequential read, as cat would do it.
bool ReadWholeFile(const char* path, uint64_t& total) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<char> buffer(1 << 17);
  total = 0;
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0) {
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    total += static_cast<uint64_t>(n);
  }
  ::close(fd);
  return true;
}

// The reading CheckImage does, without the checks: the same file record
// (and so the same runtime buffer), block-sized reads.
bool ReadThroughRuntime(const char* path) {
  FlashDataFile data;
  if (!OpenFlashDataFile(path, data)) return false;
  std::vector<uint8_t> chunk(kMaxChunkSize);
  while (std::fread(chunk.data(), 1, chunk.size(), data.file.get()) == chunk.size()) {
  }
  return std::ferror(data.file.get()) == 0;
}

int CheckImageRun(const char* path, const char* model) {
  uint32_t maxSize = 0;
  if (!LookUpControllerModel(model, &maxSize)) {
    std::printf("pendrel-bench: unknown model %s\n", model);
    return 2;
  }
  uint64_t warm = 0;
  if (!ReadWholeFile(path, warm)) {  // both measurements below start warm
    std::printf("pendrel-bench: cannot read %s\n", path);
    return 2;
  }

  // Best of three alternating passes: one stray pause on a shared machine
  // should not decide the ratio.
  double check = 1e9, plain = 1e9, runtime = 1e9;
  bool ok = true, readOk = true;
  ImageLocation location{};
  uint64_t total = 0;
  for (int pass = 0; pass < 3 && ok && readOk; ++pass) {
    auto began = Clock::now();
    FlashDataFile data;
    ok = OpenFlashDataFile(path, data) != 0;
    if (ok) {
      location = LocateImage(data.file.get(), data.size);
      ok = CheckImage(data.file.get(), location, maxSize, kMaxChunkSize) != 0;
    }
    data.file.reset();
    check = std::min(check, Seconds(Clock::now() - began));
    if (!ok) std::printf("pendrel-bench: CheckImage failed: %s\n", LastStatusText());

    began = Clock::now();
    readOk = ReadWholeFile(path, total);
    plain = std::min(plain, Seconds(Clock::now() - began));

    began = Clock::now();
    readOk = readOk && ReadThroughRuntime(path);
    runtime = std::min(runtime, Seconds(Clock::now() - began));
  }

  std::printf(
      "BENCH {\"ok\":%s,\"bytes\":%llu,\"imageLength\":%u,\"checkS\":%.6f,\"readS\":%.6f,"
      "\"runtimeS\":%.6f}\n",
      ok && readOk ? "true" : "false", static_cast<unsigned long long>(total), location.length, check, plain,
      runtime);
  return ok && readOk ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && std::strcmp(argv[1], "usb") == 0) {
    uint32_t delayUs = 0;
    if (argc == 7 && std::strcmp(argv[5], "--delay-us") == 0) {
      delayUs = static_cast<uint32_t>(std::strtoul(argv[6], nullptr, 10));
    } else if (argc != 5) {
      return Usage();
    }
    return UsbRun(argv[2], argv[3], argv[4], delayUs);
  }
  if (argc == 4 && std::strcmp(argv[1], "checkimage") == 0) return CheckImageRun(argv[2], argv[3]);
  return Usage();
}
