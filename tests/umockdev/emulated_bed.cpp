#include "umockdev/emulated_bed.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace emu {

Bed::Bed() {
  testbed = umockdev_testbed_new();
  gchar* dir = umockdev_testbed_get_root_dir(testbed);
  root = dir;
  g_free(dir);
}

Bed::~Bed() {
  // Unreferencing the bed removes its directory and stops its worker.
  if (testbed != nullptr) g_object_unref(testbed);
}

bool AddDevices(Bed& bed, const std::string& record) {
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(bed.testbed, record.c_str(), &error)) {
    std::fprintf(stderr, "umockdev refused the devices: %s\n", error ? error->message : "?");
    if (error) g_error_free(error);
    return false;
  }
  return true;
}

UMockdevIoctlBase* AttachHandler(Bed& bed, const std::string& devnode, const Handlers& h, void* context) {
  UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
  if (h.ioctl) g_signal_connect(handler, "handle-ioctl", G_CALLBACK(h.ioctl), context);
  if (h.read) g_signal_connect(handler, "handle-read", G_CALLBACK(h.read), context);
  if (h.write) g_signal_connect(handler, "handle-write", G_CALLBACK(h.write), context);
  if (h.vanished) g_signal_connect(handler, "client-vanished", G_CALLBACK(h.vanished), context);
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(bed.testbed, devnode.c_str(), handler, &error)) {
    std::fprintf(stderr, "attach_ioctl %s: %s\n", devnode.c_str(), error ? error->message : "?");
    if (error) g_error_free(error);
    g_object_unref(handler);
    return nullptr;
  }
  return handler;
}

void DetachHandler(Bed& bed, const std::string& devnode, UMockdevIoctlBase*& handler) {
  if (handler == nullptr) return;
  umockdev_testbed_detach_ioctl(bed.testbed, devnode.c_str(), nullptr);
  g_object_unref(handler);
  handler = nullptr;
}

void CopyOut(UMockdevIoctlData* arg, const void* bytes, size_t size) {
  UMockdevIoctlData* out = umockdev_ioctl_data_resolve(arg, 0, size, nullptr);
  std::memcpy(out->data, bytes, size);
  g_object_unref(out);
}

void EndHeld(std::vector<Held>& held, int error, bool all) {
  const auto now = std::chrono::steady_clock::now();
  for (size_t i = 0; i < held.size();) {
    if (!all && held[i].deadline > now) {
      ++i;
      continue;
    }
    umockdev_ioctl_client_complete(held[i].client, -1, error);
    if (held[i].urbPointer != nullptr) g_object_unref(held[i].urbPointer);
    g_object_unref(held[i].client);
    held.erase(held.begin() + static_cast<long>(i));
  }
}

Ticker::Ticker(std::function<void()> tick) {
  thread = std::thread([this, tick] {
    std::unique_lock<std::mutex> hold(lock);
    while (!stopping) {
      stop.wait_for(hold, std::chrono::milliseconds(1));
      hold.unlock();
      tick();
      hold.lock();
    }
  });
}

Ticker::~Ticker() {
  {
    std::lock_guard<std::mutex> hold(lock);
    stopping = true;
  }
  stop.notify_all();
  thread.join();
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    out += two;
  }
  return out;
}

std::string HexId(uint16_t id) {
  char four[8];
  std::snprintf(four, sizeof four, "%04x", id);
  return four;
}

std::string Describe(const ChildResult& r) {
  return "exit " + std::to_string(r.exitCode) + (r.timedOut ? " (killed at the deadline)" : "") +
         "\n--- stdout ---\n" + r.out + "\n--- stderr ---\n" + r.err;
}

std::unique_ptr<sim::SimEngine> MakeEngine(const char* model, uint32_t linkMaxBlock,
                                           std::vector<sim::FaultPlan> faults) {
  auto engine = std::make_unique<sim::SimEngine>();
  sim::SimConfig config;
  config.model = model;
  config.linkMaxBlock = linkMaxBlock;
  config.faults = std::move(faults);
  EXPECT_TRUE(sim::SimInit(*engine, config)) << sim::SimConfigError(*engine);
  return engine;
}

namespace {

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The child's environment: ours, with the preload in front (behind a
// sanitizer runtime, which insists on coming first) and the bed's root.
std::vector<std::string> ChildEnvironment(const Bed& bed, const std::vector<std::string>& edits,
                                          bool sanitizerRuntime) {
  auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  auto edited = [&](const std::string& entry) {
    for (const std::string& e : edits)
      if (nameOf(e) == nameOf(entry)) return true;
    return false;
  };
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "LD_PRELOAD=", 11) == 0 || std::strncmp(*e, "UMOCKDEV_DIR=", 13) == 0 ||
        edited(*e)) {
      continue;
    }
    env.emplace_back(*e);
  }
  for (const std::string& e : edits)
    if (e.find('=') != std::string::npos) env.push_back(e);
  std::string preload = "LD_PRELOAD=";
  if (const char* runtime = std::getenv("PENDREL_SANITIZER_RUNTIME");
      sanitizerRuntime && runtime && *runtime) {
    preload += std::string(runtime) + ":";
  }
  preload += PreloadLibrary();
  env.push_back(preload);
  env.push_back("UMOCKDEV_DIR=" + bed.root);
  return env;
}

}  // namespace

std::string PreloadLibrary() {
  const char* configured = std::getenv("UMOCKDEV_PRELOAD");
  if (configured != nullptr && *configured && access(configured, R_OK) == 0) return configured;
  return "";
}

ChildResult RunPendrel(const Bed& bed, const std::vector<std::string>& args, std::chrono::seconds timeout,
                       const std::vector<std::string>& envEdits) {
  const char* program = std::getenv("PENDREL");
  if (program == nullptr || access(program, X_OK) != 0) {
    ChildResult result;
    result.err = "PENDREL does not name the built program";
    return result;
  }
  std::vector<std::string> argv{program};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunInBed(bed, argv, envEdits, timeout);
}

BedChild StartInBed(const Bed& bed, const std::vector<std::string>& args,
                    const std::vector<std::string>& envEdits, bool sanitizerRuntime) {
  static int started = 0;
  BedChild child;
  child.dir = bed.root + "-out" + std::to_string(++started);
  std::filesystem::create_directories(child.dir);
  child.outPath = child.dir + "/stdout";
  child.errPath = child.dir + "/stderr";

  std::vector<std::string> env = ChildEnvironment(bed, envEdits, sanitizerRuntime);
  std::vector<char*> envp, argv;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> copies = args;
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);

  child.pid = fork();
  if (child.pid == 0) {
    setsid();
    int in = open("/dev/null", O_RDONLY);
    int out = open(child.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(child.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  return child;
}

ChildResult WaitInBed(BedChild& child, std::chrono::seconds timeout) {
  ChildResult result;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (; child.pid > 0;) {
    pid_t done = waitpid(child.pid, &status, WNOHANG);
    if (done == child.pid) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      // The session's group (setsid made the child its leader), so that
      // helpers it started go too.
      if (kill(-child.pid, SIGKILL) != 0) kill(child.pid, SIGKILL);
      waitpid(child.pid, &status, 0);
      result.timedOut = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (child.pid > 0 && !result.timedOut && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  result.out = ReadWhole(child.outPath);
  result.err = ReadWhole(child.errPath);
  std::filesystem::remove_all(child.dir);
  child.pid = -1;
  return result;
}

std::string ReadSoFar(const BedChild& child) { return ReadWhole(child.outPath); }

ChildResult RunInBed(const Bed& bed, const std::vector<std::string>& args,
                     const std::vector<std::string>& envEdits, std::chrono::seconds timeout,
                     bool sanitizerRuntime) {
  BedChild child = StartInBed(bed, args, envEdits, sanitizerRuntime);
  return WaitInBed(child, timeout);
}

namespace {

// One folder per test process: tests run side by side, also other
// checkouts' on the same machine, and name their files alike. It goes when
// the process ends.
struct TempFolder {
  std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("pendrel-umockdev-" + std::to_string(getpid()));
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
};

}  // namespace

std::string WriteTempFile(const std::string& name, const std::vector<uint8_t>& bytes) {
  static TempFolder folder;
  std::filesystem::create_directories(folder.dir);
  std::string path = (folder.dir / name).string();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return path;
}

}  // namespace emu

// Under ThreadSanitizer, GLib's and umockdev's own locking (atomics in
// uninstrumented libraries) looks like races inside this harness. Only the
// harness's programs take these; the program under test keeps the full checks.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libglib-2.0.so\nrace:libgio-2.0.so\nrace:libgobject-2.0.so\nrace:libumockdev.so\n"
         "mutex:libglib-2.0.so\n";
}
