// talo-sim serial: the controller behind a pseudo-terminal.
//
// Every chunk read from the master is judged by the host's line settings at
// that moment: a host that is not at 8N2 and the controller's rate gets its
// bytes garbled, both ways, as a real line would. --pace holds both
// directions to the line's speed (11 bits a byte) plus the controller's
// modelled busy time, for benchmarks.
// Linux's pty driver forces CS8 without parity on every tcsetattr, so on a
// pseudo-terminal only the rate and the stop bits can catch a host out.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/line.h"
#include "frontends.h"
#include "options.h"
#include "serial_pty.h"
#include "report.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 50;
constexpr int kWriteStallMs = 2000;    // a host that reads nothing for this long loses the reply
constexpr int kRebootDrainMs = 2000;   // time the host gets to read the reboot's ACK
constexpr uint32_t kBitsPerByte = 11;  // start, 8 data, 2 stop

volatile std::sig_atomic_t gStopSignal = 0;
void OnStopSignal(int signal) { gStopSignal = signal; }

struct SerialOptions {
  FrontEndOptions common;
  std::string linkPath;
  bool pace = false;
};

void PrintUsage() {
  std::printf(
      "usage: talo-sim serial [--link PATH] [--pace] [options]\n"
      "  --link PATH           make PATH a symbolic link to the pseudo-terminal\n"
      "  --pace                move bytes no faster than the line rate allows\n");
  PrintCommonOptionsUsage();
}

// 0: parsed; otherwise the exit code.
int ParseSerialOptions(int argc, char** argv, SerialOptions& options) {
  for (int i = 0; i < argc;) {
    std::string_view arg = argv[i];
    switch (ParseCommonOption(argc, argv, i, options.common)) {
      case OptionParse::Taken: continue;
      case OptionParse::Bad: return 2;
      case OptionParse::NotMine: break;
    }
    if (arg == "--pace") {
      options.pace = true;
      ++i;
    } else if (arg == "--link" && i + 1 < argc) {
      options.linkPath = argv[i + 1];
      i += 2;
    } else if (arg == "--help" || arg == "-h") {
      PrintUsage();
      return 3;
    } else {
      std::printf("talo-sim: unknown serial option %s\n", argv[i]);
      PrintUsage();
      return 2;
    }
  }
  return 0;
}

// Only ever replaces a symbolic link: a real file at PATH is the user's.
bool MakeLink(const std::string& linkPath, const std::string& target) {
  struct stat info {};
  if (lstat(linkPath.c_str(), &info) == 0) {
    if (!S_ISLNK(info.st_mode)) {
      std::printf("talo-sim: %s exists and is not a symbolic link\n", linkPath.c_str());
      return false;
    }
    unlink(linkPath.c_str());
  }
  if (symlink(target.c_str(), linkPath.c_str()) != 0) {
    std::printf("talo-sim: cannot link %s: %s\n", linkPath.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

void RemoveLink(const std::string& linkPath, const std::string& target) {
  char points[4096];
  ssize_t length = readlink(linkPath.c_str(), points, sizeof points - 1);
  if (length > 0 && std::string_view(points, static_cast<size_t>(length)) == target) unlink(linkPath.c_str());
}

Clock::duration LineTime(size_t bytes, uint32_t rate) {
  if (rate == 0) return Clock::duration::zero();
  return std::chrono::microseconds(uint64_t{bytes} * kBitsPerByte * 1000000 / rate);
}

// Writes all of `bytes` to the non-blocking master, waiting at most
// kWriteStallMs for room at any one time.
bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd out{fd, POLLOUT, 0};
    if (poll(&out, 1, kWriteStallMs) <= 0 && gStopSignal == 0) return false;
    if (gStopSignal != 0) return false;
  }
  return true;
}

struct LineWatch {
  sim::SimLineSettings last{};
  bool haveLast = false;
  std::string mismatch;  // the mismatch already reported, empty: line good
};

std::string SettingsFields(const sim::SimLineSettings& s) {
  char text[128];
  std::snprintf(text, sizeof text, "\"rate\":%u,\"dataBits\":%u,\"parity\":%s,\"stopBits\":%u", s.rate,
                s.dataBits, s.parity ? "true" : "false", s.stopBits);
  return text;
}

// Reads the host's settings and reports changes; returns the mismatch
// against the controller's rate (empty: bytes pass).
std::string JudgeLine(int fd, sim::SimEngine& engine, SimReport& report, LineWatch& watch) {
  sim::SimLineSettings settings;
  if (!PtyReadLineSettings(fd, settings)) return "host line settings unreadable";
  bool changed = !watch.haveLast || settings.rate != watch.last.rate ||
                 settings.dataBits != watch.last.dataBits || settings.parity != watch.last.parity ||
                 settings.stopBits != watch.last.stopBits;
  if (changed) {
    watch.last = settings;
    watch.haveLast = true;
    char text[96];
    std::snprintf(text, sizeof text, "host line %u baud %u%c%u", settings.rate, settings.dataBits,
                  settings.parity ? 'P' : 'N', settings.stopBits);
    ReportEvent(report, "line", SettingsFields(settings), text);
  }
  std::string mismatch = sim::SimLineMismatch(settings, sim::SimCurrentRate(engine));
  if (!mismatch.empty() && mismatch != watch.mismatch)
    sim::SimNoteHostFault(engine, "line garbled: " + mismatch);
  watch.mismatch = mismatch;
  return mismatch;
}

void WaitForHostToRead(const PtyPair& pty) {
  auto deadline = Clock::now() + std::chrono::milliseconds(kRebootDrainMs);
  while (Clock::now() < deadline && gStopSignal == 0) {
    if (PtyPendingToHost(pty) <= 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // The last bytes may still sit between master and slave.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// Bytes each way and the time they need on the line at the rates in force:
// with the controller's modelled time, the least a run can take.
struct LineTotals {
  uint64_t toController = 0;
  uint64_t toHost = 0;
  uint64_t wireNs = 0;
  uint64_t lateNs = 0;  // how much later than due the paced waits ended: our own share
  void Add(uint64_t& counter, size_t bytes, uint32_t rate) {
    counter += bytes;
    if (rate != 0) wireNs += uint64_t{bytes} * kBitsPerByte * 1000000000 / rate;
  }
};

// What one serving holds between the host's chunks.
struct SerialSession {
  SerialSession(PtyPair& p, sim::SimEngine& e, SimReport& r, const SerialOptions& o, LineTotals& t)
      : pty(p), engine(e), report(r), options(o), totals(t) {}
  PtyPair& pty;
  sim::SimEngine& engine;
  SimReport& report;
  const SerialOptions& options;
  LineTotals& totals;
  LineWatch watch;
  std::vector<uint8_t> input = std::vector<uint8_t>(4096);
  std::vector<uint8_t> reply;
  Clock::time_point lastByte = Clock::now();
  Clock::time_point rxFreeAt = Clock::now();
};

// Waits up to kPollMs for the host's bytes and reads them into s.input:
// `count` 0 when none came. A non-empty result ends the serving.
std::string ReadChunk(SerialSession& s, size_t& count) {
  count = 0;
  pollfd in{s.pty.master, POLLIN, 0};
  int ready = poll(&in, 1, kPollMs);
  if (ready < 0 && errno != EINTR) return "poll failed";
  if (ready <= 0 || (in.revents & POLLIN) == 0) {
    auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - s.lastByte).count();
    sim::SimLineIdle(s.engine, static_cast<uint32_t>(idle));
    if (ready > 0 && (in.revents & (POLLERR | POLLNVAL))) return "pty error";
    return "";
  }
  ssize_t got = read(s.pty.master, s.input.data(), s.input.size());
  if (got < 0 && (errno == EAGAIN || errno == EINTR)) return "";
  if (got < 0 && errno == EIO) {  // no slave open at the moment
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    return "";
  }
  if (got <= 0) return "pty read failed";
  count = static_cast<size_t>(got);
  s.lastByte = Clock::now();
  return "";
}

// Garbles the chunk when the host's line does not match the controller's,
// and reports it.
void JudgeChunk(SerialSession& s, size_t count) {
  std::string mismatch = JudgeLine(s.pty.master, s.engine, s.report, s.watch);
  bool garbled = !mismatch.empty();
  if (garbled)
    std::fill(s.input.begin(), s.input.begin() + static_cast<ptrdiff_t>(count), sim::kSimGarbledByte);
  char fields[160];
  std::snprintf(fields, sizeof fields, "\"bytes\":%zu,\"garbled\":%s,%s", count, garbled ? "true" : "false",
                SettingsFields(s.watch.last).c_str());
  ReportEvent(s.report, "rx", fields, "");
}

// Feeds the chunk to the engine and sends its reply back, paced when asked;
// returns the engine's events.
uint32_t FeedChunk(SerialSession& s, size_t count) {
  uint32_t rate = sim::SimCurrentRate(s.engine);
  uint64_t busyBefore = sim::SimGetStats(s.engine).controllerTimeUs;
  // The host's bytes cannot begin to arrive before it wrote them (read
  // here just now) nor before the bytes ahead of them have arrived.
  if (s.options.pace) s.rxFreeAt = std::max(s.rxFreeAt, s.lastByte) + LineTime(count, rate);
  s.reply.clear();
  uint32_t events = sim::SimFeed(s.engine, s.input.data(), count, s.reply);
  s.totals.Add(s.totals.toController, count, rate);
  s.totals.Add(s.totals.toHost, s.reply.size(), rate);
  if (s.options.pace) {
    // One wait for the rest of the command, the controller's work and the
    // reply's way back: every wake-up would add our own lateness.
    auto busy = std::chrono::microseconds(sim::SimGetStats(s.engine).controllerTimeUs - busyBefore);
    auto due = s.rxFreeAt + busy + LineTime(s.reply.size(), rate);
    std::this_thread::sleep_until(due);
    s.totals.lateNs += static_cast<uint64_t>(std::chrono::nanoseconds(Clock::now() - due).count());
  }
  if (!s.reply.empty()) {
    // The reply leaves at the rate the command arrived at.
    std::string back = sim::SimLineMismatch(s.watch.last, rate);
    if (!back.empty()) std::fill(s.reply.begin(), s.reply.end(), sim::kSimGarbledByte);
    if (!WriteAll(s.pty.master, s.reply)) sim::SimNote(s.engine, "reply lost: the host did not read");
  }
  return events;
}

// What the engine's events make of the serving: a non-empty result ends it.
std::string AfterEvents(SerialSession& s, uint32_t events) {
  if (events & sim::kSimEventRateChange) {
    char text[64];
    std::snprintf(text, sizeof text, "controller line now %u baud", sim::SimCurrentRate(s.engine));
    ReportEvent(s.report, "rate", "\"rate\":" + std::to_string(sim::SimCurrentRate(s.engine)), text);
  }
  if (events & sim::kSimEventDropLink) return "link dropped";
  if ((events & sim::kSimEventReboot) && s.options.common.exitAfterReboot) {
    WaitForHostToRead(s.pty);
    return "rebooted";
  }
  return "";
}

std::string Serve(PtyPair& pty, sim::SimEngine& engine, SimReport& report, const SerialOptions& options,
                  LineTotals& totals) {
  SerialSession s{pty, engine, report, options, totals};
  while (gStopSignal == 0) {
    size_t count = 0;
    std::string reason = ReadChunk(s, count);
    if (reason.empty() && count > 0) {
      JudgeChunk(s, count);
      reason = AfterEvents(s, FeedChunk(s, count));
    }
    if (!reason.empty()) return reason;
  }
  return "signal";
}

}  // namespace

int RunSerialFrontEnd(int argc, char** argv) {
  SerialOptions options;
  if (int code = ParseSerialOptions(argc, argv, options); code != 0) return code == 3 ? 0 : code;

  SimReport report;
  if (!ReportOpen(report, options.common)) return 2;
  sim::SimEngine engine;
  if (!sim::SimInit(engine, options.common.config)) {
    std::printf("talo-sim: %s\n", sim::SimConfigError(engine).c_str());
    return 2;
  }

  PtyPair pty;
  if (!PtyOpen(pty)) return 2;
  if (!options.linkPath.empty() && !MakeLink(options.linkPath, pty.slavePath)) return 2;

  struct sigaction stop {};
  stop.sa_handler = OnStopSignal;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::printf("talo-sim: serial port %s\n", pty.slavePath.c_str());
  std::fflush(stdout);
  ReportEvent(report, "start",
              "\"port\":" + JsonString(pty.slavePath) +
                  ",\"model\":" + JsonString(options.common.config.model) +
                  ",\"rate\":" + std::to_string(options.common.config.initialRate),
              "");

  // Timer slack would make every paced wait late by up to 50 us.
  if (options.pace) prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  LineTotals totals;
  std::string reason = Serve(pty, engine, report, options, totals);
  char fields[160];
  std::snprintf(
      fields, sizeof fields, "\"toController\":%llu,\"toHost\":%llu,\"wireUs\":%llu,\"lateUs\":%llu",
      static_cast<unsigned long long>(totals.toController), static_cast<unsigned long long>(totals.toHost),
      static_cast<unsigned long long>(totals.wireNs / 1000),
      static_cast<unsigned long long>(totals.lateNs / 1000));
  report.summaryFields = fields;
  char line[200];
  std::snprintf(
      line, sizeof line,
      "line: %llu bytes to the controller, %llu to the host, %llu us on the wire, %llu us controller time, "
      "%llu us paced late",
      static_cast<unsigned long long>(totals.toController), static_cast<unsigned long long>(totals.toHost),
      static_cast<unsigned long long>(totals.wireNs / 1000),
      static_cast<unsigned long long>(sim::SimGetStats(engine).controllerTimeUs),
      static_cast<unsigned long long>(totals.lateNs / 1000));
  report.summaryLine = line;
  PtyClose(pty);
  if (!options.linkPath.empty()) RemoveLink(options.linkPath, pty.slavePath);
  return ReportFinish(report, engine, options.common, reason);
}
