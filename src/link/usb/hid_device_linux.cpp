// hidraw: devices from /sys/class/hidraw, product strings from the USB
// device each belongs to, report lengths from the report descriptor.
#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/status.h"
#include "link/usb/hid_device.h"
#include "link/usb/hid_report_descriptor.h"

namespace {

constexpr const char* kHidrawClass = "/sys/class/hidraw";

// The reader's side of the open device: reads come one report per read(2),
// and a device without report IDs delivers its reports without the ID byte.
struct ReadSide {
  uint16_t inputLength = 0;
  bool usesReportIds = false;
};
ReadSide gReadSide;

bool ReadDescriptor(int fd, HidReportLengths* lengths) {
  int size = 0;
  if (ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0) return false;
  hidraw_report_descriptor descriptor{};
  descriptor.size = static_cast<uint32_t>(std::clamp(size, 0, HID_MAX_DESCRIPTOR_SIZE));
  if (ioctl(fd, HIDIOCGRDESC, &descriptor) < 0) return false;
  *lengths = ParseHidReportLengths(std::span<const uint8_t>(descriptor.value, descriptor.size));
  return true;
}

// What the USB device above a hidraw node says of itself: its product
// string, its sysfs name (the port it is plugged into) and its serial number.
struct UsbParent {
  std::string product;
  std::string location;
  std::string serial;
};

// One line of a sysfs attribute; empty when there is none.
std::string Attribute(const std::string& dir, const char* name) {
  std::ifstream in(dir + "/" + name);
  std::string value;
  std::getline(in, value);
  return value;
}

// Walks up from the hidraw node's device to the USB device (the first
// ancestor with an idVendor attribute).
bool UsbParentOf(const std::string& node, UsbParent* parent) {
  char resolved[PATH_MAX];
  std::string link = std::string(kHidrawClass) + "/" + node + "/device";
  if (realpath(link.c_str(), resolved) == nullptr) return false;
  std::string dir = resolved;
  while (dir.size() > 1) {
    if (access((dir + "/idVendor").c_str(), R_OK) == 0) {
      parent->product = Attribute(dir, "product");
      parent->serial = Attribute(dir, "serial");
      parent->location = dir.substr(dir.find_last_of('/') + 1);
      return true;
    }
    dir.erase(dir.find_last_of('/'));
  }
  return false;  // not a USB device (Bluetooth, I2C, uhid)
}

// sysfs gives UTF-8. Only an exact match with an ASCII name counts, so any
// byte outside ASCII becomes a replacement character that matches nothing.
std::u16string Widen(const std::string& text) {
  std::u16string out;
  for (unsigned char c : text) out.push_back(c < 0x80 ? char16_t(c) : char16_t(0xFFFD));
  return out;
}

unsigned long NodeNumber(const std::string& name) {
  return std::strtoul(name.c_str() + 6, nullptr, 10);  // after "hidraw"
}

bool Load() { return true; }
void Unload() {}

bool Enumerate(HidVisit visit, void* context) {
  DIR* dir = opendir(kHidrawClass);
  if (dir == nullptr) return true;  // no hidraw support: simply no devices
  std::vector<std::string> nodes;
  while (dirent* entry = readdir(dir)) {
    if (std::strncmp(entry->d_name, "hidraw", 6) == 0) nodes.emplace_back(entry->d_name);
  }
  closedir(dir);
  std::sort(nodes.begin(), nodes.end(),
            [](const std::string& a, const std::string& b) { return NodeNumber(a) < NodeNumber(b); });
  for (const std::string& node : nodes) {
    UsbParent parent;
    if (!UsbParentOf(node, &parent)) continue;
    std::string path = "/dev/" + node;
    // As on Windows, only a device we can open takes part.
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) continue;
    close(fd);
    const UsbDeviceNames names{.path = path, .location = parent.location, .serial = parent.serial};
    if (visit(context, names, Widen(parent.product))) break;
  }
  return true;
}

// Opens the node and reads its report descriptor; -1 (errno kept) when
// either fails.
int OpenWithDescriptor(const char* path, int flags, HidReportLengths* lengths) {
  int fd = open(path, flags | O_CLOEXEC);
  if (fd < 0) return -1;
  if (!ReadDescriptor(fd, lengths)) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

// A hidraw write returns once the device has taken the report: usbhid waits
// for the interrupt OUT transfer, up to its own time-out of seconds, and a
// hidraw node always polls writable, so poll() cannot tell that a write
// would block. The writes therefore go through a thread of their own, and a
// send waits for its write at most the time the link gives it. A write
// still in progress then finishes on that thread; the next one waits for it
// first, within its own time. The thread owns the write descriptor and
// closes it when it ends.
struct Writer {
  std::mutex lock;
  std::condition_variable changed;
  int fd = -1;
  std::vector<uint8_t> report;
  bool pending = false;  // a report handed over and not yet written
  bool closing = false;
  ssize_t result = 0;
  int error = 0;
  std::thread thread;
};
std::shared_ptr<Writer> gWriter;

void WriterLoop(const std::shared_ptr<Writer>& w) {
  std::unique_lock<std::mutex> hold(w->lock);
  for (;;) {
    w->changed.wait(hold, [&] { return w->pending || w->closing; });
    if (!w->pending) break;
    const std::vector<uint8_t> report = w->report;
    hold.unlock();
    // Byte 0 is the report number; 0 tells hidraw the device numbers none,
    // and the kernel sends the rest as the report.
    const ssize_t n = write(w->fd, report.data(), report.size());
    const int error = errno;
    hold.lock();
    w->result = n;
    w->error = error;
    w->pending = false;
    w->changed.notify_all();
  }
  close(w->fd);
}

UsbHandle OpenWrite(const char* path, uint16_t* inputLength, uint16_t* outputLength) {
  HidReportLengths lengths;
  int fd = OpenWithDescriptor(path, O_RDWR, &lengths);
  if (fd < 0) return kNoUsbHandle;
  auto writer = std::make_shared<Writer>();
  writer->fd = fd;
  try {
    writer->thread = std::thread(WriterLoop, writer);
  } catch (const std::system_error& e) {
    close(fd);
    errno = e.code().value();
    return kNoUsbHandle;
  }
  gWriter = writer;
  *inputLength = lengths.input;
  *outputLength = lengths.output;
  return fd;
}

HidWriteOutcome Write(UsbHandle, const uint8_t* report, uint32_t length, uint32_t* written,
                      uint32_t timeoutMs) {
  Writer& w = *gWriter;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  const auto done = [&] { return !w.pending; };
  std::unique_lock<std::mutex> hold(w.lock);
  // A write left over from a send that timed out goes first.
  if (!w.changed.wait_until(hold, deadline, done)) {
    errno = ETIMEDOUT;
    return HidWriteOutcome::TimedOut;
  }
  w.report.assign(report, report + length);
  w.pending = true;
  w.changed.notify_all();
  if (!w.changed.wait_until(hold, deadline, done)) {
    errno = ETIMEDOUT;
    return HidWriteOutcome::TimedOut;
  }
  errno = w.error;
  if (w.result < 0)
    return (errno == ENODEV || errno == ENXIO) ? HidWriteOutcome::DeviceGone : HidWriteOutcome::Failed;
  *written = static_cast<uint32_t>(w.result);
  return HidWriteOutcome::Written;
}

// A write still blocked in the kernel keeps its thread; it ends, and closes
// the descriptor, once the write returns.
void CloseWrite(UsbHandle) {
  std::shared_ptr<Writer> w = std::move(gWriter);
  if (w == nullptr) return;
  bool blocked;
  {
    std::lock_guard<std::mutex> hold(w->lock);
    w->closing = true;
    blocked = w->pending;
  }
  w->changed.notify_all();
  if (blocked) {
    w->thread.detach();
  } else {
    w->thread.join();
  }
}

UsbHandle OpenRead(const char* path, uint16_t inputLength) {
  HidReportLengths lengths;
  int fd = OpenWithDescriptor(path, O_RDWR | O_NONBLOCK, &lengths);
  if (fd < 0) return kNoUsbHandle;
  gReadSide.inputLength = inputLength;
  gReadSide.usesReportIds = lengths.usesReportIds;
  return fd;
}

// Puts one report read by hidraw into its slot, ID byte first, padded.
void StoreReport(uint8_t* slot, const uint8_t* data, ssize_t n) {
  const uint16_t length = gReadSide.inputLength;
  std::memset(slot, 0, length);
  size_t skip = gReadSide.usesReportIds ? 0 : 1;
  size_t take = std::min<size_t>(static_cast<size_t>(n), length - skip);
  std::memcpy(slot + skip, data, take);
}

UsbReadOutcome Read(UsbHandle handle, uint8_t* buffer, uint32_t capacity, uint32_t* got, UsbHandle stop) {
  const int fd = static_cast<int>(handle);
  const uint16_t length = gReadSide.inputLength;
  *got = 0;
  if (length == 0 || capacity < length) {
    errno = EINVAL;
    return UsbReadOutcome::Failed;
  }
  uint8_t report[4096];
  for (;;) {
    pollfd waits[2] = {{fd, POLLIN, 0}, {static_cast<int>(stop), POLLIN, 0}};
    if (poll(waits, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return UsbReadOutcome::Failed;
    }
    if (waits[1].revents & POLLIN) return UsbReadOutcome::Stopped;
    // hidraw signals an unplugged device by POLLHUP and POLLERR alone: no
    // call failed, so errno still holds an older error.
    if (waits[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
      errno = (waits[0].revents & POLLNVAL) ? EBADF : ENODEV;
      return UsbReadOutcome::Failed;
    }
    // Take what has queued up, one report per read(2), as far as it fits.
    while (*got + length <= capacity) {
      ssize_t n = read(fd, report, sizeof report);
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) break;
        return UsbReadOutcome::Failed;
      }
      if (n == 0) break;
      StoreReport(buffer + *got, report, n);
      *got += length;
    }
    if (*got > 0) return UsbReadOutcome::Data;
  }
}

void CloseRead(UsbHandle handle) { close(static_cast<int>(handle)); }

UsbHandle CreateStop() {
  int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return fd < 0 ? kNoUsbHandle : fd;
}

void RaiseStop(UsbHandle stop) {
  uint64_t one = 1;
  ssize_t n = write(static_cast<int>(stop), &one, sizeof one);
  (void)n;  // a full counter is still readable, which is all the reader needs
}

void DestroyStop(UsbHandle stop) { close(static_cast<int>(stop)); }

}  // namespace

const HidDeviceApi kSystemHidDevice = {
    .load = Load,
    .unload = Unload,
    .enumerate = Enumerate,
    .openWrite = OpenWrite,
    .write = Write,
    .closeWrite = CloseWrite,
    .openRead = OpenRead,
    .read = Read,
    .closeRead = CloseRead,
    .createStop = CreateStop,
    .raiseStop = RaiseStop,
    .destroyStop = DestroyStop,
};
