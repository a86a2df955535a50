#include "umockdev/bulk_emulation.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace emu {
namespace {

constexpr auto kHoldLimit = std::chrono::milliseconds(3);

// Device descriptor, then one configuration with one vendor-class
// interface and a bulk IN and a bulk OUT endpoint.
std::vector<uint8_t> Descriptors(const BulkDeviceDescription& s) {
  const uint8_t lo = uint8_t(s.maxPacket), hi = uint8_t(s.maxPacket >> 8);
  return {0x12,
          0x01,
          0x00,
          0x02,
          0x00,
          0x00,
          0x00,
          0x40,
          uint8_t(s.vendor),
          uint8_t(s.vendor >> 8),
          uint8_t(s.productId),
          uint8_t(s.productId >> 8),
          0x00,
          0x01,
          0x01,
          0x02,
          0x00,
          0x01,
          0x09,
          0x02,
          0x20,
          0x00,
          0x01,
          0x01,
          0x00,
          0x80,
          0x32,
          0x09,
          0x04,
          0x00,
          0x00,
          0x02,
          0xFF,
          0x00,
          0x00,
          0x00,
          0x07,
          0x05,
          0x81,
          0x02,
          lo,
          hi,
          0x00,
          0x07,
          0x05,
          0x01,
          0x02,
          lo,
          hi,
          0x00};
}

usbdevfs_urb* UrbOf(UMockdevIoctlData* data) { return reinterpret_cast<usbdevfs_urb*>(data->data); }

// With the lock held: fills waiting IN URBs from the engine's replies. A
// reply shorter than the URB ends it as a short packet would.
void FillIn(BulkController& d) {
  while (!d.pendingIn.empty() && !d.inBytes.empty()) {
    UMockdevIoctlData* data = d.pendingIn.front();
    d.pendingIn.erase(d.pendingIn.begin());
    usbdevfs_urb* urb = UrbOf(data);
    size_t n = std::min(d.inBytes.size(), static_cast<size_t>(urb->buffer_length));
    auto* out = static_cast<uint8_t*>(urb->buffer);
    for (size_t i = 0; i < n; ++i) {
      out[i] = d.inBytes.front();
      d.inBytes.pop_front();
    }
    urb->actual_length = static_cast<int>(n);
    urb->status = 0;
    ++d.counters.inTransfers;
    d.reapable.push_back(data);
  }
}

// With the lock held: the unplug ends every URB in flight, as the host
// controller does when the device goes.
void KillInFlight(BulkController& d) {
  for (UMockdevIoctlData* data : d.pendingIn) {
    UrbOf(data)->status = -ESHUTDOWN;
    UrbOf(data)->actual_length = 0;
    d.reapable.push_back(data);
  }
  d.pendingIn.clear();
}

// Completes one reap with the oldest completed URB; false when none.
bool ReapOne(BulkController& d, UMockdevIoctlClient* client, UMockdevIoctlData* urbPointer) {
  if (d.reapable.empty()) return false;
  UMockdevIoctlData* data = d.reapable.front();
  d.reapable.pop_front();
  umockdev_ioctl_data_set_ptr(urbPointer, 0, data);
  d.lastReapEmpty[client] = false;
  umockdev_ioctl_client_complete(client, 0, 0);
  g_object_unref(data);
  return true;
}

void ReleaseHeld(BulkController& d) {
  while (!d.held.empty() && !d.reapable.empty()) {
    Held h = d.held.front();
    d.held.erase(d.held.begin());
    ReapOne(d, h.client, h.urbPointer);
    g_object_unref(h.urbPointer);
    g_object_unref(h.client);
  }
}

long Submit(BulkController& d, UMockdevIoctlData* arg) {
  UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
  if (data == nullptr) return -EFAULT;
  usbdevfs_urb* urb = UrbOf(data);
  if (urb->buffer_length > 0) {
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer),
                                                            static_cast<gsize>(urb->buffer_length), nullptr);
    if (buffer == nullptr) {
      g_object_unref(data);
      return -EFAULT;
    }
    g_object_unref(buffer);  // the URB's record keeps it
  }
  ++d.counters.submits;
  if (urb->type != USBDEVFS_URB_TYPE_BULK || (urb->endpoint & 0x7F) != 1) {
    std::fprintf(stderr, "usb %d: URB type %u endpoint 0x%02x not emulated\n", d.description.bus, urb->type,
                 urb->endpoint);
    g_object_unref(data);
    return -EINVAL;
  }
  if (urb->endpoint & 0x80) {
    d.pendingIn.push_back(data);
    FillIn(d);
    return 0;
  }
  const size_t n = static_cast<size_t>(urb->buffer_length);
  if (n == 0) {
    ++d.counters.zeroLengthOut;
  } else {
    ++d.counters.outTransfers;
    d.counters.largestOut = std::max(d.counters.largestOut, n);
  }
  const auto* bytes = static_cast<const uint8_t*>(urb->buffer);
  const std::vector<uint8_t>& stall = d.stallOutPrefix;
  if (!stall.empty() && n >= stall.size() && std::equal(stall.begin(), stall.end(), bytes)) {
    d.pendingOut.push_back(data);
    return 0;
  }
  urb->actual_length = urb->buffer_length;
  urb->status = 0;
  d.reapable.push_back(data);
  if (d.engine != nullptr && n > 0) {
    std::vector<uint8_t> reply;
    uint32_t events = sim::SimFeed(*d.engine, static_cast<const uint8_t*>(urb->buffer), n, reply);
    if (events & sim::kSimEventDropLink) {
      d.lost = true;
      KillInFlight(d);
    } else {
      d.inBytes.insert(d.inBytes.end(), reply.begin(), reply.end());
      FillIn(d);
    }
  }
  return 0;
}

long Discard(BulkController& d, UMockdevIoctlData* arg) {
  const auto address = *reinterpret_cast<const unsigned long*>(arg->data);
  for (auto* pending : {&d.pendingIn, &d.pendingOut}) {
    for (size_t i = 0; i < pending->size(); ++i) {
      if ((*pending)[i]->client_addr != address) continue;
      UMockdevIoctlData* data = (*pending)[i];
      pending->erase(pending->begin() + static_cast<long>(i));
      UrbOf(data)->status = -ENOENT;
      UrbOf(data)->actual_length = 0;
      d.reapable.push_back(data);
      ++d.counters.discards;
      return 0;
    }
  }
  return -EINVAL;
}

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer context) {
  auto& d = *static_cast<BulkController*>(context);
  const auto request = static_cast<unsigned int>(umockdev_ioctl_client_get_request(client));
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::lock_guard<std::mutex> hold(d.lock);
  long result = 0;
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      const uint32_t value = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                             USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
      CopyOut(arg, &value, sizeof value);
      break;
    }
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:
      result = -ENODATA;  // no kernel driver holds the interface
      break;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:  // detaches a kernel driver, if any, and claims
      result = d.lost ? -ENODEV : d.busy ? -EBUSY : 0;
      if (result == 0) ++d.counters.claims;
      break;
    case USBDEVFS_RELEASEINTERFACE:
      ++d.counters.releases;
      result = d.lost ? -ENODEV : 0;
      break;
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_SETINTERFACE: result = d.lost ? -ENODEV : 0; break;
    case USBDEVFS_SUBMITURB: result = d.lost ? -ENODEV : Submit(d, arg); break;
    case USBDEVFS_DISCARDURB: result = Discard(d, arg); break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
      UMockdevIoctlData* urbPointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
      if (d.reapsFailAfterOut >= 0 && d.counters.outTransfers >= d.reapsFailAfterOut) {
        g_object_unref(urbPointer);
        result = -EIO;
        break;
      }
      if (ReapOne(d, client, urbPointer)) {
        g_object_unref(urbPointer);
        return TRUE;
      }
      bool& wasEmpty = d.lastReapEmpty[client];
      // A plain node always polls writable, so libusb reaps in a loop; a
      // reap right after an empty one waits a little for a completion.
      if (d.lost || !wasEmpty || (d.pendingIn.empty() && request == USBDEVFS_REAPURBNDELAY)) {
        wasEmpty = true;
        g_object_unref(urbPointer);
        result = d.lost ? -ENODEV : -EAGAIN;
        break;
      }
      g_object_ref(client);
      d.held.push_back({client, urbPointer, std::chrono::steady_clock::now() + kHoldLimit});
      return TRUE;
    }
    default:
      ++d.counters.otherIoctls;
      d.counters.lastOtherIoctl = request;
      std::fprintf(stderr, "usb %d: ioctl 0x%x not emulated\n", d.description.bus, request);
      result = -ENOTTY;
      break;
  }
  umockdev_ioctl_client_complete(client, result < 0 ? -1 : result, result < 0 ? int(-result) : 0);
  ReleaseHeld(d);
  return TRUE;
}

void OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer context) {
  auto& d = *static_cast<BulkController*>(context);
  std::lock_guard<std::mutex> hold(d.lock);
  d.lastReapEmpty.erase(client);
}

}  // namespace

std::string BulkNode(const BulkDeviceDescription& s) {
  char node[32];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", s.bus, s.address);
  return node;
}

std::string BulkSysfsName(const BulkDeviceDescription& s) {
  return s.port.empty() ? "usb" + std::to_string(s.bus) : std::to_string(s.bus) + "-" + s.port;
}

namespace {

// The sysfs path of a device: below the bus, in the directory of each hub
// on the way.
std::string SysfsPath(int bus, const std::string& port) {
  std::string path = "/devices/usb" + std::to_string(bus);
  if (port.empty()) return path;
  const std::string name = std::to_string(bus) + "-" + port;
  for (size_t dot = port.find('.'); dot != std::string::npos; dot = port.find('.', dot + 1))
    path += "/" + std::to_string(bus) + "-" + port.substr(0, dot);
  return path + "/" + name;
}

// A USB device's record: its sysfs entry, node and identity.
std::string DeviceRecord(const BulkDeviceDescription& s, const std::vector<uint8_t>& descriptors) {
  char bus[8], address[8];
  std::snprintf(bus, sizeof bus, "%03d", s.bus);
  std::snprintf(address, sizeof address, "%03d", s.address);
  std::string record;
  record += "P: " + SysfsPath(s.bus, s.port) + "\n";
  record += "N: " + BulkNode(s).substr(5) + "=00\n";
  record += "E: SUBSYSTEM=usb\nE: DRIVER=usb\nE: DEVTYPE=usb_device\n";
  record += "E: BUSNUM=" + std::string(bus) + "\nE: DEVNUM=" + address + "\n";
  record += "E: DEVNAME=" + BulkNode(s) + "\n";
  record += "A: busnum=" + std::to_string(s.bus) + "\\n\nA: devnum=" + std::to_string(s.address) + "\\n\n";
  record += "A: idVendor=" + HexId(s.vendor) + "\\n\nA: idProduct=" + HexId(s.productId) + "\\n\n";
  if (!s.serial.empty()) record += "A: serial=" + s.serial + "\\n\n";
  record += "A: bConfigurationValue=1\\n\nA: speed=12\\n\n";
  record += "H: descriptors=" + Hex(descriptors) + "\n";
  return record;
}

// The hub a device behind one hangs off (a hub's class, one interface, no
// bulk endpoint: nothing the search opens), at the next free address.
std::string HubRecord(const BulkDeviceDescription& device) {
  BulkDeviceDescription hub{.bus = device.bus, .vendor = 0x05E3, .productId = 0x0608};
  hub.port = device.port.substr(0, device.port.rfind('.'));
  hub.address = device.address + 50;
  // Device, configuration and interface descriptors, without endpoints.
  std::vector<uint8_t> descriptors = Descriptors(hub);
  descriptors.resize(18 + 9 + 9);
  descriptors[4] = 0x09;           // bDeviceClass: hub
  descriptors[18 + 2] = 18;        // wTotalLength
  descriptors[18 + 9 + 4] = 0;     // bNumEndpoints
  descriptors[18 + 9 + 5] = 0x09;  // bInterfaceClass: hub
  return DeviceRecord(hub, descriptors) + "\n";
}

}  // namespace

bool AddBulkController(Bed& bed, BulkController& d) {
  const BulkDeviceDescription& s = d.description;
  static const Handlers handlers{OnIoctl, nullptr, nullptr, OnVanished};
  d.handler = AttachHandler(bed, BulkNode(s), handlers, &d);
  if (d.handler == nullptr) return false;
  std::string record;
  if (s.port.find('.') != std::string::npos) record += HubRecord(s);
  record += DeviceRecord(s, Descriptors(s));
  return AddDevices(bed, record);
}

void BulkTick(BulkController& d) {
  std::lock_guard<std::mutex> hold(d.lock);
  EndHeld(d.held, d.lost ? ENODEV : EAGAIN);
}

void BulkDetach(Bed& bed, BulkController& d) {
  {
    std::lock_guard<std::mutex> hold(d.lock);
    EndHeld(d.held, EAGAIN, true);
    for (UMockdevIoctlData* data : d.pendingIn) g_object_unref(data);
    d.pendingIn.clear();
    for (UMockdevIoctlData* data : d.pendingOut) g_object_unref(data);
    d.pendingOut.clear();
    for (UMockdevIoctlData* data : d.reapable) g_object_unref(data);
    d.reapable.clear();
  }
  DetachHandler(bed, BulkNode(d.description), d.handler);
}

}  // namespace emu
