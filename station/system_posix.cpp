// Child processes, signals, the image copy and the terminal on Linux: each
// pendrel in a new session (no controlling terminal, so its exit prompt ends
// at once) with a parent-death signal, one pipe per child, poll.
#include <fcntl.h>
#include <limits.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

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

// The child between fork and exec: async-signal-safe calls only. Its own
// session (no controlling terminal; the terminal's Ctrl-C reaches the
// station only, which then ends the children itself), and SIGKILL when the
// station dies, however it dies. The death signal follows the thread that
// forked: the station's one thread, which lives as long as the station.
[[noreturn]] void BecomePendrel(char* const* args, char* const* envp, int out, int report, pid_t station) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(sig, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  setsid();
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The station may have died before the death signal was armed.
  if (getppid() != station) _exit(127);
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) {
    int e = errno;
    [[maybe_unused]] ssize_t n = write(report, &e, sizeof e);
    _exit(127);
  }
  execve(args[0], args, envp);
  int e = errno;
  [[maybe_unused]] ssize_t n = write(report, &e, sizeof e);
  _exit(127);
}

// What the child's exec reported: 0 when the report pipe closed without a word (exec succeeded).
int ExecError(int report) {
  int e = 0;
  ssize_t n;
  do n = read(report, &e, sizeof e);
  while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof e) ? e : 0;
}

using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

std::string Hex(const unsigned char* bytes, unsigned n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < n; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 15];
  }
  return hex;
}

// Copies `in` into `out` and returns the byte count, or -1 with errno set.
int64_t CopyAll(int in, int out) {
  std::vector<char> buffer(1 << 20);
  int64_t total = 0;
  for (;;) {
    ssize_t got = read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got < 0 ? -1 : total;
    for (ssize_t done = 0; done < got;) {
      ssize_t put = write(out, buffer.data() + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put < 0) return -1;
      done += put;
    }
    total += got;
  }
}

// The SHA-256 of what the file holds, read through fd from its start.
bool DigestOfFile(int fd, std::string* hex) {
  DigestContext ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) return false;
  std::vector<char> buffer(1 << 20);
  for (off_t at = 0;;) {
    ssize_t got = pread(fd, buffer.data(), buffer.size(), at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    if (EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(got)) != 1) return false;
    at += got;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest, &n) != 1) return false;
  *hex = Hex(digest, n);
  return true;
}

// A new file in a new private directory, both unlinked at once: only the descriptor is left.
int NamelessFile(std::string* error) {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/pendrel-station-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) {
    *error = dir + ": " + std::strerror(errno);
    return -1;
  }
  std::string file = dir + "/image";
  int fd = open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) *error = file + ": " + std::strerror(errno);
  unlink(file.c_str());
  rmdir(dir.c_str());
  return fd;
}

int gImageCopy = -1;

std::vector<std::string> ChildEnvironment(const std::vector<std::string>& edits) {
  std::vector<std::string> current;
  for (char** e = environ; *e != nullptr; ++e) current.emplace_back(*e);
  return EditEnvironment(current, edits, false);
}

}  // namespace

int StartChild(const std::vector<std::string>& argv, const std::vector<std::string>& envEdits,
               std::string* error) {
  int out[2], report[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    *error = std::strerror(errno);
    return -1;
  }
  if (pipe2(report, O_CLOEXEC) != 0) {
    *error = std::strerror(errno);
    close(out[0]);
    close(out[1]);
    return -1;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env = ChildEnvironment(envEdits);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  // No handler of ours may run in the child between fork and exec.
  sigset_t all, old;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &old);
  pid_t station = getpid();
  pid_t pid = fork();
  if (pid == 0) BecomePendrel(args.data(), envp.data(), out[1], report[1], station);
  int forkError = errno;
  sigprocmask(SIG_SETMASK, &old, nullptr);
  close(out[1]);
  close(report[1]);
  int execError = pid < 0 ? forkError : ExecError(report[0]);
  close(report[0]);
  if (execError != 0) {
    if (pid > 0) waitpid(pid, nullptr, 0);
    close(out[0]);
    *error = std::strerror(execError);
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
  // A hang-up (the terminal closed, the SSH session dropped) ends the run as SIGTERM does.
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

void ListenForSessionEnd() {}

bool Interrupted() { return gInterrupted != 0; }

void InterruptHandled() {}

bool MakeImageCopy(const std::string& image, ImageCopy* copy, std::string* error) {
  int in = open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    *error = image + ": " + std::strerror(errno);
    return false;
  }
  int fd = NamelessFile(error);
  int64_t size = fd < 0 ? -1 : CopyAll(in, fd);
  close(in);
  // Read-only from here: what the children inherit cannot write.
  int ro = -1;
  if (size >= 0 && fchmod(fd, 0400) == 0)
    ro = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY);
  if (fd >= 0 && ro < 0) *error = "the image's copy: " + std::string(std::strerror(errno));
  if (fd >= 0) close(fd);
  if (ro < 0) return false;
  if (!DigestOfFile(ro, &copy->sha256)) {
    *error = "the image's copy: SHA-256 failed";
    close(ro);
    return false;
  }
  gImageCopy = ro;
  copy->size = static_cast<uint64_t>(size);
  // Not close-on-exec: every child inherits it, so the same path names it there.
  copy->path = "/proc/self/fd/" + std::to_string(ro);
  return true;
}

void RemoveImageCopy() {
  if (gImageCopy >= 0) close(gImageCopy);
  gImageCopy = -1;
}

std::string Sha256Hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned n = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &n, EVP_sha256(), nullptr) != 1) return {};
  return Hex(digest, n);
}

std::string Utf8FromSystemText(const std::string& text) { return text; }

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
