// station-hid-host: HID Talo controllers emulated in a umockdev test bed (the
// one tests/umockdev uses) while one command, pendrel-station, runs inside it,
// for the production-line benchmark:
//
//   station-hid-host --hid N --model NAME --image FILE -- COMMAND ARGS...
//
// The controllers stand at the USB ports 1-2, 1-3, ... (usb:1-2 names the
// first), each with a talo-sim engine behind it. The command runs in its own
// session with the bed's preload, standard input and output as ours. At the
// end one line on standard error:
//   HOST exit=N wall=S cpu=S flash=ok|differs
// with the command's own CPU time: the scheduler's count, read when it has
// ended but is not yet reaped, so that its children are not in it. flash is
// ok when every controller's flash holds the image.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "umockdev/emulated_bed.h"
#include "umockdev/hid_emulation.h"

namespace {

struct Options {
  int hid = 0;
  std::string model = "TXC5110";
  std::string image;
  std::vector<std::string> command;
};

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--") {
      o->command.assign(argv + i + 1, argv + argc);
      break;
    }
    if (i + 1 >= argc) return false;
    if (a == "--hid") o->hid = std::atoi(argv[++i]);
    else if (a == "--model") o->model = argv[++i];
    else if (a == "--image") o->image = argv[++i];
    else return false;
  }
  return o->hid > 0 && !o->image.empty() && !o->command.empty();
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The process's own CPU seconds from the scheduler (nanoseconds), while it is a zombie.
double OwnCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
  unsigned long long ns = 0;
  in >> ns;
  return static_cast<double>(ns) / 1e9;
}

// Starts the command with the bed's preload; the pid, or -1.
pid_t Start(const emu::Bed& bed, const std::vector<std::string>& command) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0 && std::strncmp(*e, "UMOCKDEV_DIR=", 13) != 0)
      env.emplace_back(*e);
  env.push_back("LD_PRELOAD=" + emu::PreloadLibrary());
  env.push_back("UMOCKDEV_DIR=" + bed.root);
  std::vector<char*> envp, args;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> copy = command;
  for (std::string& a : copy) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    setsid();
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  return pid;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    std::fprintf(stderr, "usage: station-hid-host --hid N [--model NAME] --image FILE -- COMMAND ARGS...\n");
    return 2;
  }
  if (emu::PreloadLibrary().empty()) {
    std::fprintf(stderr, "station-hid-host: UMOCKDEV_PRELOAD does not name umockdev's preload library\n");
    return 2;
  }
  std::ifstream file(o.image, std::ios::binary);
  const std::vector<uint8_t> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  emu::Bed bed;
  std::vector<std::unique_ptr<sim::SimEngine>> engines;
  std::list<emu::HidController> hid;
  for (int i = 0; i < o.hid; ++i) {
    engines.push_back(emu::MakeEngine(o.model.c_str(), 256));
    emu::HidController& d = hid.emplace_back();
    d.description.node = i;
    d.engine = engines.back().get();
    if (!emu::AddHidController(bed, d)) return 2;
  }
  auto ticker = std::make_unique<emu::Ticker>([&hid] {
    for (emu::HidController& d : hid) emu::HidTick(d);
  });
  double began = Now();
  pid_t pid = Start(bed, o.command);
  siginfo_t info{};
  if (pid < 0 || waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) return 2;
  double wall = Now() - began, cpu = OwnCpuSeconds(pid);
  int status = 0;
  waitpid(pid, &status, 0);
  ticker.reset();
  bool same = true;
  for (const auto& e : engines) same = same && sim::SimFlashImage(*e) == image;
  for (emu::HidController& d : hid) emu::HidDetach(bed, d);
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::fprintf(stderr, "HOST exit=%d wall=%.6f cpu=%.6f flash=%s\n", code, wall, cpu,
               same ? "ok" : "differs");
  return code;
}
