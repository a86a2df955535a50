// Child processes, signals and the terminal on Linux: posix_spawn into a new
// session (no controlling terminal, so pendrel's exit prompt ends at once),
// one pipe per child, poll.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>

#include "system.h"
#include "unit_name.h"

extern char** environ;

namespace {

struct Child {
  pid_t pid = -1;
  int fd = -1;  // -1 once the pipe has ended
};

std::map<int, Child> gChildren;
int gNextChild = 0;
int gWakePipe[2] = {-1, -1};
volatile sig_atomic_t gInterrupted = 0;

void OnSignal(int) {
  gInterrupted = 1;
  if (gWakePipe[1] >= 0) {
    int saved = errno;
    [[maybe_unused]] ssize_t n = write(gWakePipe[1], "x", 1);
    errno = saved;
  }
}

std::string Describe(int status) {
  int sig = WTERMSIG(status);
  return "signal " + std::to_string(sig) + " (" + strsignal(sig) + ")";
}

// Collects the child's exit without waiting; nothing when it still runs.
void Reap(int id, Child& c, std::vector<ChildEvent>* events) {
  int status = 0;
  pid_t got;
  do got = waitpid(c.pid, &status, WNOHANG);
  while (got < 0 && errno == EINTR);
  if (got != c.pid) return;
  ChildEvent e;
  e.child = id;
  e.kind = ChildEvent::Kind::Ended;
  if (WIFSIGNALED(status)) {
    e.crashed = true;
    e.exitCode = -1;
    e.how = Describe(status);
  } else {
    e.exitCode = WEXITSTATUS(status);
  }
  events->push_back(e);
  gChildren.erase(id);
}

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& edits) {
  std::vector<std::string> current;
  for (char** e = environ; *e != nullptr; ++e) current.emplace_back(*e);
  return EditEnvironment(current, edits, false);
}

}  // namespace

int StartChild(const std::vector<std::string>& argv, const std::vector<std::string>& envEdits,
               std::string* error) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    *error = std::strerror(errno);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // A session of its own: no controlling terminal, and the terminal's Ctrl-C
  // reaches the station only, which then ends the children itself.
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env = ChildEnvironment(envEdits);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0], &actions, &attr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  close(out[1]);
  if (rc != 0) {
    close(out[0]);
    *error = std::strerror(rc);
    return -1;
  }
  int id = gNextChild++;
  gChildren[id] = Child{pid, out[0]};
  return id;
}

void WaitForChildren(int timeoutMs, std::vector<ChildEvent>* events) {
  // A child whose pipe has ended is reaped first; one whose pipe ended
  // while it still runs (it closed its output) is looked at again soon.
  bool lingering = false;
  for (auto it = gChildren.begin(); it != gChildren.end();) {
    auto next = std::next(it);
    if (it->second.fd < 0) {
      Reap(it->first, it->second, events);
      lingering = true;
    }
    it = next;
  }
  if (!events->empty()) return;
  std::vector<pollfd> fds;
  std::vector<int> ids;
  if (gWakePipe[0] >= 0) fds.push_back({gWakePipe[0], POLLIN, 0});
  for (auto& [id, c] : gChildren) {
    if (c.fd < 0) continue;
    fds.push_back({c.fd, POLLIN, 0});
    ids.push_back(id);
  }
  if (gInterrupted) timeoutMs = 0;
  if (lingering && timeoutMs > 20) timeoutMs = 20;
  int n = poll(fds.data(), fds.size(), timeoutMs);
  if (n <= 0) return;
  size_t first = gWakePipe[0] >= 0 ? 1 : 0;
  if (first == 1 && (fds[0].revents & POLLIN)) {
    char drain[64];
    while (read(gWakePipe[0], drain, sizeof drain) > 0) {
    }
  }
  for (size_t i = first; i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    int id = ids[i - first];
    Child& c = gChildren[id];
    char buffer[4096];
    ssize_t got = read(c.fd, buffer, sizeof buffer);
    if (got > 0) {
      ChildEvent e;
      e.child = id;
      e.data.assign(buffer, static_cast<size_t>(got));
      events->push_back(std::move(e));
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
      close(c.fd);
      c.fd = -1;
      // Output ended: pendrel is on its way out, usually gone already; if
      // not, the lingering path above looks again shortly.
      Reap(id, c, events);
    }
  }
}

void KillChild(int child) {
  auto it = gChildren.find(child);
  if (it != gChildren.end()) kill(-it->second.pid, SIGKILL);
}

void StopChild(int child) {
  auto it = gChildren.find(child);
  if (it != gChildren.end()) kill(-it->second.pid, SIGTERM);
}

void InstallInterruptHandler() {
  if (gWakePipe[0] < 0 && pipe2(gWakePipe, O_CLOEXEC | O_NONBLOCK) != 0) gWakePipe[0] = gWakePipe[1] = -1;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool Interrupted() { return gInterrupted != 0; }

bool StdoutIsTerminal() {
  // The live view moves the cursor with escape sequences a dumb terminal shows as text.
  const char* term = std::getenv("TERM");
  return isatty(1) == 1 && !(term && std::strcmp(term, "dumb") == 0);
}

int TerminalColumns() {
  struct winsize ws {};
  if (ioctl(1, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string OwnExecutableDirectory() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  std::string p(path, static_cast<size_t>(n));
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return {};
  std::string all = path;
  size_t start = 0;
  while (start <= all.size()) {
    size_t end = all.find(':', start);
    if (end == std::string::npos) end = all.size();
    std::string dir = all.substr(start, end - start);
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    if (FileExists(candidate) && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

std::string PendrelProgramName() { return "pendrel"; }

double MonotonicSeconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string UtcTimestamp() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm;
  gmtime_r(&ts.tv_sec, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ts.tv_nsec / 1000000);
  return text;
}
