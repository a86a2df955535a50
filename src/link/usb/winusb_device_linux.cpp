// libusb-1.0 for the bulk device. A device path is "usb:BUS:ADDRESS"; the
// open claims the first interface whose alternate setting 0 has a bulk
// endpoint, detaching a kernel driver from it while we hold it.
//
// Reads are asynchronous transfers on the reader thread, which handles the
// library's events itself. Raising the stop signal interrupts that event
// handling; the reader then cancels its transfer and keeps handling events
// until the cancellation has completed, so the buffer is never freed under
// a live transfer. Nothing polls on a timer.
#include <libusb-1.0/libusb.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/status.h"
#include "link/usb/winusb_device.h"

namespace {

libusb_context* gContext = nullptr;

struct OpenDevice {
  libusb_device_handle* handle = nullptr;
  int interfaceNumber = -1;
  std::vector<WinUsbPipeInfo> pipes;
  uint32_t outTimeoutMs = 100;
};
OpenDevice gDevice;
std::atomic<bool> gStopRaised{false};

// Transfers given up while their device is open: the library may still
// complete them, so they are freed only once the device is closed.
struct AbandonedTransfer {
  libusb_transfer* transfer;
  std::unique_ptr<int> completed;
};
std::mutex gAbandonedLock;
std::vector<AbandonedTransfer> gAbandoned;

void Abandon(libusb_transfer* transfer, std::unique_ptr<int> completed) {
  std::lock_guard<std::mutex> hold(gAbandonedLock);
  gAbandoned.push_back({transfer, std::move(completed)});
}

// libusb has no waitable object to hand out as the stop signal: the token is
// the address of this layer's one stop flag, and raising it also interrupts
// the event handling that a read is blocked in.
UsbHandle StopToken() { return reinterpret_cast<UsbHandle>(&gStopRaised); }
std::atomic<bool>& StopFlag(UsbHandle stop) { return *reinterpret_cast<std::atomic<bool>*>(stop); }

bool Load() {
  if (gContext != nullptr) return true;
  if (libusb_init(&gContext) < 0) {
    gContext = nullptr;
    return SetLastStatus(kStatusUsbLibraryInitFailed) != 0;
  }
  return true;
}

void Unload() {
  if (gContext != nullptr) libusb_exit(gContext);
  gContext = nullptr;
}

// The system's error number for a libusb error code, for the status text.
int ErrnoOf(int libusbError) {
  switch (libusbError) {
    case LIBUSB_ERROR_ACCESS: return EACCES;
    case LIBUSB_ERROR_NO_DEVICE: return ENODEV;
    case LIBUSB_ERROR_NOT_FOUND: return ENOENT;
    case LIBUSB_ERROR_BUSY: return EBUSY;
    case LIBUSB_ERROR_TIMEOUT: return ETIMEDOUT;
    case LIBUSB_ERROR_OVERFLOW: return EOVERFLOW;
    case LIBUSB_ERROR_PIPE: return EPIPE;
    case LIBUSB_ERROR_INTERRUPTED: return EINTR;
    case LIBUSB_ERROR_NO_MEM: return ENOMEM;
    case LIBUSB_ERROR_NOT_SUPPORTED: return ENOSYS;
    case LIBUSB_ERROR_INVALID_PARAM: return EINVAL;
    default: return EIO;
  }
}

// ... and for a transfer's ending.
int ErrnoOf(libusb_transfer_status status) {
  switch (status) {
    case LIBUSB_TRANSFER_TIMED_OUT: return ETIMEDOUT;
    case LIBUSB_TRANSFER_NO_DEVICE: return ENODEV;
    case LIBUSB_TRANSFER_STALL: return EPIPE;
    case LIBUSB_TRANSFER_OVERFLOW: return EOVERFLOW;
    case LIBUSB_TRANSFER_CANCELLED: return ECANCELED;
    default: return EIO;
  }
}

// The descriptor in its wire layout, as WinUSB would hand it over.
std::vector<uint8_t> WireDescriptor(const libusb_device_descriptor& d) {
  return {d.bLength,
          d.bDescriptorType,
          static_cast<uint8_t>(d.bcdUSB),
          static_cast<uint8_t>(d.bcdUSB >> 8),
          d.bDeviceClass,
          d.bDeviceSubClass,
          d.bDeviceProtocol,
          d.bMaxPacketSize0,
          static_cast<uint8_t>(d.idVendor),
          static_cast<uint8_t>(d.idVendor >> 8),
          static_cast<uint8_t>(d.idProduct),
          static_cast<uint8_t>(d.idProduct >> 8),
          static_cast<uint8_t>(d.bcdDevice),
          static_cast<uint8_t>(d.bcdDevice >> 8),
          d.iManufacturer,
          d.iProduct,
          d.iSerialNumber,
          d.bNumConfigurations};
}

// The first interface with a bulk endpoint in alternate setting 0, and the
// endpoints of that setting.
int BulkInterface(libusb_device* device, std::vector<WinUsbPipeInfo>* pipes) {
  libusb_config_descriptor* config = nullptr;
  if (libusb_get_active_config_descriptor(device, &config) != 0) return -1;
  int found = -1;
  for (uint8_t i = 0; i < config->bNumInterfaces && found < 0; ++i) {
    const libusb_interface& interface = config->interface[i];
    for (int a = 0; a < interface.num_altsetting && found < 0; ++a) {
      const libusb_interface_descriptor& setting = interface.altsetting[a];
      if (setting.bAlternateSetting != 0) continue;
      std::vector<WinUsbPipeInfo> these;
      bool bulk = false;
      for (uint8_t e = 0; e < setting.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& ep = setting.endpoint[e];
        uint8_t type = ep.bmAttributes & 3;
        bulk = bulk || type == LIBUSB_TRANSFER_TYPE_BULK;
        these.push_back({type, ep.bEndpointAddress, ep.wMaxPacketSize});
      }
      if (bulk) {
        found = setting.bInterfaceNumber;
        *pipes = these;
      }
    }
  }
  libusb_free_config_descriptor(config);
  return found;
}

// Opens the device and claims its bulk interface, as the link will. A
// failure leaves errno set from the library's code.
bool OpenAndClaim(libusb_device* device, OpenDevice* opened) {
  int r = libusb_open(device, &opened->handle);
  if (r != 0) {
    opened->handle = nullptr;
    errno = ErrnoOf(r);
    return false;
  }
  opened->interfaceNumber = BulkInterface(device, &opened->pipes);
  if (opened->interfaceNumber < 0) return true;
  libusb_set_auto_detach_kernel_driver(opened->handle, 1);
  r = libusb_claim_interface(opened->handle, opened->interfaceNumber);
  if (r == 0) return true;
  libusb_close(opened->handle);
  opened->handle = nullptr;
  errno = ErrnoOf(r);
  return false;
}

// The device's sysfs name, from its bus and the ports on the way to it
// (1-1.4); a root hub's is usbN.
std::string SysfsName(libusb_device* device) {
  const std::string bus = std::to_string(libusb_get_bus_number(device));
  uint8_t ports[8];
  const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
  if (depth <= 0) return "usb" + bus;
  std::string name = bus + "-";
  for (int i = 0; i < depth; ++i) name += (i ? "." : "") + std::to_string(ports[i]);
  return name;
}

// The serial number string, as the kernel read it when the device came: no
// request reaches the device, which may be another program's.
std::string SerialOf(const std::string& sysfsName) {
  std::ifstream in("/sys/bus/usb/devices/" + sysfsName + "/serial");
  std::string serial;
  std::getline(in, serial);
  return serial;
}

// A Talo device that this run may take and that can be opened and claimed,
// as the link will; released again at once.
bool Available(libusb_device* device, const std::vector<uint8_t>& wire, const UsbDeviceNames& names) {
  if (!WinUsbDescriptorMatches(wire)) return true;  // never opened; the visit passes it over
  if (!UsbSelectionAllows(names)) return false;
  OpenDevice probe;
  if (!OpenAndClaim(device, &probe)) return false;
  if (probe.interfaceNumber >= 0) libusb_release_interface(probe.handle, probe.interfaceNumber);
  libusb_close(probe.handle);
  return true;
}

// As the Windows search opens each device interface and passes over one it
// cannot open, a Talo device that cannot be opened and claimed (no
// permission, held by another program) is left out, so that the search goes
// on to the next. Other devices are never opened.
bool Enumerate(WinUsbVisit visit, void* context) {
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(gContext, &list);
  if (count < 0) return SetLastStatus(kStatusUsbNoDeviceList) != 0;
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(list[i], &descriptor) != 0) continue;
    const unsigned bus = libusb_get_bus_number(list[i]), address = libusb_get_device_address(list[i]);
    char path[32], node[32];
    std::snprintf(path, sizeof path, "usb:%03u:%03u", bus, address);
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", bus, address);
    const std::string location = SysfsName(list[i]), serial = SerialOf(location);
    const UsbDeviceNames names{.path = path, .otherPath = node, .location = location, .serial = serial};
    std::vector<uint8_t> wire = WireDescriptor(descriptor);
    if (!Available(list[i], wire, names)) continue;
    if (visit(context, names, wire)) break;
  }
  libusb_free_device_list(list, 1);
  return true;
}

bool Open(const char* path) {
  unsigned bus = 0, address = 0;
  if (std::sscanf(path, "usb:%u:%u", &bus, &address) != 2) return false;
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(gContext, &list);
  if (count < 0) {
    errno = ErrnoOf(static_cast<int>(count));
    return false;
  }
  OpenDevice opened;
  // Not in the list any more: unplugged since the search.
  bool ok = false;
  errno = ENODEV;
  for (ssize_t i = 0; i < count; ++i) {
    if (libusb_get_bus_number(list[i]) == bus && libusb_get_device_address(list[i]) == address) {
      ok = OpenAndClaim(list[i], &opened);
      break;
    }
  }
  const int saved = errno;
  libusb_free_device_list(list, 1);
  errno = saved;
  if (!ok) return false;
  gDevice = opened;
  return true;
}

bool QueryInterface(uint8_t* endpointCount) {
  if (gDevice.interfaceNumber < 0) return false;
  *endpointCount = static_cast<uint8_t>(gDevice.pipes.size());
  return true;
}

bool QueryPipe(uint8_t index, WinUsbPipeInfo* pipe) {
  if (index >= gDevice.pipes.size()) return false;
  *pipe = gDevice.pipes[index];
  return true;
}

// libusb has no pipe policy: the time-out goes with each transfer.
bool SetPipeTimeout(uint8_t, uint32_t milliseconds) {
  gDevice.outTimeoutMs = milliseconds;
  return true;
}

// Whichever thread handles the library's events runs this: the reader for
// a send's transfer, often the main thread inside a send for the reader's.
// Hence our own atomic flag rather than the library's plain one: its release
// publishes the transfer's status and length, and everything the library did
// to the transfer before, to the thread that then frees it.
void LIBUSB_CALL TransferDone(libusb_transfer* transfer) {
  std::atomic_ref<int>(*static_cast<int*>(transfer->user_data)).store(1, std::memory_order_release);
}

// How long event handling may keep failing after the cancel before the
// transfer is given up, in failed rounds a millisecond apart.
constexpr int kFailedRoundsAfterCancel = 200;

// Handles events until the transfer has completed; the transfer is cancelled
// once when `stop` is given and raised, or when event handling
// fails. Only then may the caller read and free it. When event handling
// goes on failing after the cancel, the completion may never be seen: the
// wait ends and returns false, and the transfer and its flag are abandoned
// until the device is closed.
bool AwaitTransfer(libusb_transfer* transfer, int& completed, const std::atomic<bool>* stop) {
  bool cancelled = false;
  int failedRounds = 0;
  const std::atomic_ref<int> done(completed);
  while (!done.load(std::memory_order_acquire)) {
    if (stop != nullptr && *stop && !cancelled) {
      libusb_cancel_transfer(transfer);
      cancelled = true;
    }
    int r = libusb_handle_events_completed(gContext, &completed);
    if (r >= 0 || r == LIBUSB_ERROR_INTERRUPTED) continue;
    if (!cancelled) {
      libusb_cancel_transfer(transfer);
      cancelled = true;
    } else if (++failedRounds >= kFailedRoundsAfterCancel) {
      return false;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return true;
}

// An asynchronous transfer awaited here rather than libusb_bulk_transfer: the
// synchronous call frees its transfer on the word of a plain int that the
// reader thread sets while it handles events.
bool Write(uint8_t pipe, const uint8_t* bytes, uint32_t count, uint32_t* written) {
  *written = 0;
  libusb_transfer* transfer = libusb_alloc_transfer(0);
  if (transfer == nullptr) {
    errno = ENOMEM;
    return false;
  }
  // An abandoned transfer outlives this call: its flag lives on the heap,
  // an empty packet's byte is static (OUT data is copied at submission).
  auto completed = std::make_unique<int>(0);
  static uint8_t none = 0;
  libusb_fill_bulk_transfer(transfer, gDevice.handle, pipe, count ? const_cast<uint8_t*>(bytes) : &none,
                            static_cast<int>(count), TransferDone, completed.get(), gDevice.outTimeoutMs);
  if (int r = libusb_submit_transfer(transfer); r != 0) {
    libusb_free_transfer(transfer);
    errno = ErrnoOf(r);
    return false;
  }
  if (!AwaitTransfer(transfer, *completed, nullptr)) {
    Abandon(transfer, std::move(completed));
    errno = EIO;
    return false;
  }
  const libusb_transfer_status status = transfer->status;
  *written = static_cast<uint32_t>(transfer->actual_length);
  libusb_free_transfer(transfer);
  if (status == LIBUSB_TRANSFER_COMPLETED) return true;
  errno = ErrnoOf(status);
  return false;
}

UsbReadOutcome Read(uint8_t pipe, uint8_t* buffer, uint32_t capacity, uint32_t* got, UsbHandle stop) {
  *got = 0;
  libusb_transfer* transfer = libusb_alloc_transfer(0);
  if (transfer == nullptr) {
    errno = ENOMEM;
    return UsbReadOutcome::Failed;
  }
  auto completed = std::make_unique<int>(0);
  libusb_fill_bulk_transfer(transfer, gDevice.handle, pipe, buffer, static_cast<int>(capacity), TransferDone,
                            completed.get(), 0);
  if (int r = libusb_submit_transfer(transfer); r != 0) {
    libusb_free_transfer(transfer);
    errno = ErrnoOf(r);
    return UsbReadOutcome::Failed;
  }
  if (!AwaitTransfer(transfer, *completed, &StopFlag(stop))) {
    // Given up: Failed makes the link release the device, which ends the
    // transfer in the system before the buffer goes.
    Abandon(transfer, std::move(completed));
    errno = EIO;
    return UsbReadOutcome::Failed;
  }
  const libusb_transfer_status status = transfer->status;
  *got = static_cast<uint32_t>(transfer->actual_length);
  libusb_free_transfer(transfer);
  if (StopFlag(stop)) return UsbReadOutcome::Stopped;
  if (status == LIBUSB_TRANSFER_COMPLETED) return UsbReadOutcome::Data;
  errno = ErrnoOf(status);
  return UsbReadOutcome::Failed;
}

void Release() {
  if (gDevice.handle == nullptr) return;
  if (gDevice.interfaceNumber >= 0) libusb_release_interface(gDevice.handle, gDevice.interfaceNumber);
  libusb_close(gDevice.handle);
  gDevice = OpenDevice{};
  std::lock_guard<std::mutex> hold(gAbandonedLock);
  for (AbandonedTransfer& a : gAbandoned) libusb_free_transfer(a.transfer);
  gAbandoned.clear();
}

UsbHandle CreateStop() {
  gStopRaised = false;
  return StopToken();
}

void RaiseStop(UsbHandle stop) {
  StopFlag(stop) = true;
  if (gContext != nullptr) libusb_interrupt_event_handler(gContext);
}

void DestroyStop(UsbHandle stop) { StopFlag(stop) = false; }

}  // namespace

const WinUsbDeviceApi kSystemWinUsbDevice = {
    .load = Load,
    .unload = Unload,
    .enumerate = Enumerate,
    .open = Open,
    .queryInterface = QueryInterface,
    .queryPipe = QueryPipe,
    .setPipeTimeout = SetPipeTimeout,
    .write = Write,
    .read = Read,
    .release = Release,
    .createStop = CreateStop,
    .raiseStop = RaiseStop,
    .destroyStop = DestroyStop,
};
