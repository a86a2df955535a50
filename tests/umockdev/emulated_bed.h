// A umockdev test bed shared by the emulated USB devices, and the built
// pendrel started inside it as a child with the umockdev preload, so that
// its sysfs walks, opens, reads, writes and ioctls reach the handlers of
// this process.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <umockdev.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"

namespace emu {

// Bytes as lower-case hex digits, as umockdev's record format takes them.
std::string Hex(const std::vector<uint8_t>& bytes);
// A USB identifier as sysfs writes it: four lower-case hex digits.
std::string HexId(uint16_t id);

// One test bed; its directory goes away with it.
struct Bed {
  UMockdevTestbed* testbed = nullptr;
  std::string root;
  Bed();
  ~Bed();
  Bed(const Bed&) = delete;
  Bed& operator=(const Bed&) = delete;
};

// Adds devices from umockdev's record format; false (with the reason on
// stderr) when umockdev refuses the text.
bool AddDevices(Bed& bed, const std::string& record);

// The handler object for one device node, with our callbacks connected.
// The callbacks run on umockdev's worker thread.
using IoctlFn = gboolean (*)(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer);
using VanishFn = void (*)(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer);
struct Handlers {
  IoctlFn ioctl = nullptr;
  IoctlFn read = nullptr;
  IoctlFn write = nullptr;
  VanishFn vanished = nullptr;
};
UMockdevIoctlBase* AttachHandler(Bed& bed, const std::string& devnode, const Handlers& h, void* context);
// Detaches the node's handler and drops it; a no-op without one.
void DetachHandler(Bed& bed, const std::string& devnode, UMockdevIoctlBase*& handler);

// Copies `size` bytes to the start of what the ioctl's argument points to.
void CopyOut(UMockdevIoctlData* arg, const void* bytes, size_t size);

// A client whose read or reap is held back until something arrives, so that
// the program's poll, which a plain emulated node always satisfies, does not
// spin. The ticker ends a held call after its deadline with EAGAIN.
struct Held {
  UMockdevIoctlClient* client = nullptr;    // referenced while held
  UMockdevIoctlData* urbPointer = nullptr;  // the reap's resolved argument, if any
  std::chrono::steady_clock::time_point deadline;
};
// With the device's lock held: ends the held calls whose deadline has
// passed (all of them with `all`) with -1 and `error`, and lets them go.
void EndHeld(std::vector<Held>& held, int error, bool all = false);

// Adds a controller of `description`, with `engine` behind it (or none), to the
// test's `devices` and, through `add`, to the bed; a device umockdev refuses
// fails the test.
template <typename Controller, typename Description>
Controller& AddController(Bed& bed, std::list<Controller>& devices, const Description& description,
                          sim::SimEngine* engine, bool (*add)(Bed&, Controller&)) {
  Controller& d = devices.emplace_back();
  d.description = description;
  d.engine = engine;
  EXPECT_TRUE(add(bed, d));
  return d;
}

// Calls `tick` every millisecond on a thread of its own until destroyed.
struct Ticker {
  std::thread thread;
  std::mutex lock;
  std::condition_variable stop;
  bool stopping = false;
  explicit Ticker(std::function<void()> tick);
  ~Ticker();
};

struct ChildResult {
  int exitCode = -1;  // -1: killed at the deadline or did not start
  bool timedOut = false;
  std::string out;  // standard output
  std::string err;  // standard error (the preload's and sanitizers' complaints)
};
// The exit, both outputs, for a failure message.
std::string Describe(const ChildResult& r);

// A talo-sim engine for one emulated controller; a configuration the
// engine refuses fails the test.
std::unique_ptr<sim::SimEngine> MakeEngine(const char* model, uint32_t linkMaxBlock,
                                           std::vector<sim::FaultPlan> faults = {});

// Runs $PENDREL with `args` in a session of its own (no controlling
// terminal, so its exit prompt returns at once), standard input from
// /dev/null, inside the bed, with `envEdits` as RunInBed takes them.
// Killed after `timeout`.
ChildResult RunPendrel(const Bed& bed, const std::vector<std::string>& args,
                       std::chrono::seconds timeout = std::chrono::seconds(120),
                       const std::vector<std::string>& envEdits = {});

// Any program (argv[0] a path) run the same way. `envEdits` change the
// child's environment: "NAME=value" sets, a bare "NAME" removes. With
// `sanitizerRuntime` false the sanitizer runtime stays out of the preload
// list (for programs, such as Wine, that are not built with it). On the
// deadline the child's whole session is killed.
ChildResult RunInBed(const Bed& bed, const std::vector<std::string>& argv,
                     const std::vector<std::string>& envEdits, std::chrono::seconds timeout,
                     bool sanitizerRuntime = true);

// RunInBed in two halves, for a program that runs while the test changes
// the bed: StartInBed returns at once (pid -1 when it could not fork),
// ReadSoFar gives its standard output as it grows, WaitInBed ends as
// RunInBed does.
struct BedChild {
  pid_t pid = -1;
  std::string dir, outPath, errPath;
};
BedChild StartInBed(const Bed& bed, const std::vector<std::string>& argv,
                    const std::vector<std::string>& envEdits, bool sanitizerRuntime = true);
std::string ReadSoFar(const BedChild& child);
ChildResult WaitInBed(BedChild& child, std::chrono::seconds timeout);

// Where the preload library is; empty when umockdev is not installed.
std::string PreloadLibrary();

// A temporary file with these bytes; its path.
std::string WriteTempFile(const std::string& name, const std::vector<uint8_t>& bytes);

}  // namespace emu
