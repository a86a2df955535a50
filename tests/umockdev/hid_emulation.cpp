#include "umockdev/hid_emulation.h"

#include <linux/hidraw.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace emu {
namespace {

constexpr auto kHoldLimit = std::chrono::milliseconds(5);

// A full-speed device with one HID interface: device and configuration
// descriptors as the kernel keeps them in sysfs.
std::vector<uint8_t> UsbDescriptors(const HidDeviceDescription& s, uint16_t reportDescriptorLength) {
  return {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x40, uint8_t(s.vendor), uint8_t(s.vendor >> 8),
          uint8_t(s.productId), uint8_t(s.productId >> 8), 0x00, 0x01, 0x01, 0x02, 0x00, 0x01,
          // configuration, interface (HID, two interrupt endpoints), HID class descriptor
          0x09, 0x02, 0x29, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x09, 0x04, 0x00, 0x00, 0x02, 0x03, 0x00,
          0x00, 0x00, 0x09, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22, uint8_t(reportDescriptorLength),
          uint8_t(reportDescriptorLength >> 8), 0x07, 0x05, 0x81, 0x03, 0x40, 0x00, 0x01, 0x07, 0x05, 0x01,
          0x03, 0x40, 0x00, 0x01};
}

// Hands a queued report to a read whose buffer holds `capacity` bytes;
// hidraw gives a device without report IDs its reports without the ID.
long TakeReport(HidController& d, UMockdevIoctlData* buffer) {
  std::vector<uint8_t> report = std::move(d.input.front());
  d.input.erase(d.input.begin());
  size_t n = std::min<size_t>(report.size(), static_cast<size_t>(buffer->data_len));
  std::memcpy(buffer->data, report.data(), n);
  ++d.counters.reads;
  return static_cast<long>(n);
}

// With the lock held: answers reads that were held back, now that there is
// input or the plug is out.
void ReleaseHeld(HidController& d) {
  while (!d.held.empty() && (!d.input.empty() || d.lost)) {
    Held h = d.held.front();
    d.held.erase(d.held.begin());
    if (d.lost) {
      ++d.counters.failedReads;
      umockdev_ioctl_client_complete(h.client, -1, EIO);
    } else {
      long n = TakeReport(d, umockdev_ioctl_client_get_arg(h.client));
      d.lastReadEmpty[h.client] = false;
      umockdev_ioctl_client_complete(h.client, n, 0);
    }
    g_object_unref(h.client);
  }
}

void QueueReply(HidController& d, const std::vector<uint8_t>& reply) {
  const size_t room = d.description.inputBytes - 1;  // byte 0 of the payload area is the count
  for (size_t at = 0; at < reply.size(); at += room) {
    size_t n = std::min(room, reply.size() - at);
    std::vector<uint8_t> report(d.description.inputBytes, 0);
    report[0] = static_cast<uint8_t>(n);
    std::memcpy(&report[1], &reply[at], n);
    d.input.push_back(std::move(report));
  }
}

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer context) {
  auto& d = *static_cast<HidController*>(context);
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  const std::vector<uint8_t> descriptor =
      HidReportDescriptor(d.description.inputBytes, d.description.outputBytes);
  std::lock_guard<std::mutex> hold(d.lock);
  if (request == HIDIOCGRDESCSIZE || request == HIDIOCGRDESC) {
    ++d.counters.descriptorIoctls;
    int error = 0;
    if (request == HIDIOCGRDESCSIZE) {
      const int value = static_cast<int>(descriptor.size());
      CopyOut(arg, &value, sizeof value);
    } else {
      UMockdevIoctlData* out = umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_report_descriptor), nullptr);
      auto* rd = reinterpret_cast<hidraw_report_descriptor*>(out->data);
      // The kernel refuses a size above the descriptor's.
      if (rd->size > descriptor.size()) {
        error = EINVAL;
      } else {
        std::memcpy(rd->value, descriptor.data(), rd->size);
      }
      g_object_unref(out);
    }
    umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
    return TRUE;
  }
  ++d.counters.otherIoctls;
  d.counters.lastOtherIoctl = request;
  std::fprintf(stderr, "hidraw%d: ioctl 0x%lx not emulated\n", d.description.node, request);
  umockdev_ioctl_client_complete(client, -1, ENOTTY);
  return TRUE;
}

gboolean OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer context) {
  auto& d = *static_cast<HidController*>(context);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::lock_guard<std::mutex> hold(d.lock);
  if (d.lost) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return TRUE;
  }
  const size_t count = static_cast<size_t>(arg->data_len);
  ++d.counters.writes;
  if (d.holdWrites) {
    g_object_ref(client);
    d.heldWrites.push_back(client);
    return TRUE;
  }
  // Byte 0 is the report number (0: the device numbers none), then the
  // report that goes over the wire.
  if (count != size_t{d.description.outputBytes} + 1u || arg->data[0] != 0) {
    ++d.counters.wrongLengthWrites;
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return TRUE;
  }
  const uint8_t* wire = arg->data + 1;
  size_t n = std::min<size_t>(wire[0], d.description.outputBytes - 1u);
  if (d.engine != nullptr) {
    std::vector<uint8_t> reply;
    uint32_t events = sim::SimFeed(*d.engine, wire + 1, n, reply);
    QueueReply(d, reply);
    if (events & sim::kSimEventDropLink) d.lost = true;
    ReleaseHeld(d);
  }
  umockdev_ioctl_client_complete(client, static_cast<long>(count), 0);
  return TRUE;
}

gboolean OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer context) {
  auto& d = *static_cast<HidController*>(context);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::lock_guard<std::mutex> hold(d.lock);
  if (d.lost) {
    ++d.counters.failedReads;
    umockdev_ioctl_client_complete(client, -1, EIO);
    return TRUE;
  }
  if (!d.input.empty()) {
    long n = TakeReport(d, arg);
    d.lastReadEmpty[client] = false;
    umockdev_ioctl_client_complete(client, n, 0);
    return TRUE;
  }
  // Nothing queued. The node always polls readable, so a read right after
  // an empty one is held until a report comes or a few milliseconds pass.
  bool& wasEmpty = d.lastReadEmpty[client];
  if (!wasEmpty) {
    wasEmpty = true;
    umockdev_ioctl_client_complete(client, -1, EAGAIN);
    return TRUE;
  }
  g_object_ref(client);
  d.held.push_back({client, nullptr, std::chrono::steady_clock::now() + kHoldLimit});
  return TRUE;
}

void OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer context) {
  auto& d = *static_cast<HidController*>(context);
  std::lock_guard<std::mutex> hold(d.lock);
  d.lastReadEmpty.erase(client);
}

}  // namespace

std::vector<uint8_t> HidReportDescriptor(uint16_t inputBytes, uint16_t outputBytes) {
  return {0x06,
          0x00,
          0xFF,  // usage page (vendor)
          0x09,
          0x01,  // usage
          0xA1,
          0x01,  // collection (application)
          0x15,
          0x00,
          0x26,
          0xFF,
          0x00,  // logical 0 .. 255
          0x75,
          0x08,  // report size 8
          0x96,
          uint8_t(inputBytes),
          uint8_t(inputBytes >> 8),  // report count
          0x09,
          0x01,
          0x81,
          0x02,  // input (data, var, abs)
          0x96,
          uint8_t(outputBytes),
          uint8_t(outputBytes >> 8),  // report count
          0x09,
          0x01,
          0x91,
          0x02,  // output (data, var, abs)
          0xC0};
}

namespace {

// The device's sysfs paths, below /sys: the USB device, its interface, the
// hid device and the hidraw node's.
struct HidPaths {
  std::string usb, interface, hid, hidraw, ids;
};

HidPaths PathsOf(const HidDeviceDescription& s) {
  HidPaths p;
  char ids[64];
  std::snprintf(ids, sizeof ids, "0003:%04X:%04X.%04X", s.vendor, s.productId, s.node + 1);
  p.ids = ids;
  const std::string port = HidPort(s);
  // Behind a hub the device's directory lies in the hub's (usb1/1-1/1-1.4).
  p.usb = "/devices/pci0000:00/0000:00:14.0/usb1";
  for (size_t dot = port.find('.'); dot != std::string::npos; dot = port.find('.', dot + 1))
    p.usb += "/" + port.substr(0, dot);
  p.usb += "/" + port;
  p.interface = p.usb + "/" + port + ":1.0";
  p.hid = p.interface + "/" + p.ids;
  p.hidraw = p.hid + "/hidraw/hidraw" + std::to_string(s.node);
  return p;
}

}  // namespace

bool AddHidController(Bed& bed, HidController& d) {
  const HidDeviceDescription& s = d.description;
  const HidPaths paths = PathsOf(s);
  const std::string& usb = paths.usb;
  const std::string& hid = paths.hid;
  const std::string port = HidPort(s);
  const std::string node = "hidraw" + std::to_string(s.node);
  const std::string ids = paths.ids;
  const std::string vendor = HexId(s.vendor), product = HexId(s.productId);
  const auto descriptor = HidReportDescriptor(s.inputBytes, s.outputBytes);

  // Attached before the node exists, so that no open can miss the handler.
  static const Handlers handlers{OnIoctl, OnRead, OnWrite, OnVanished};
  d.handler = AttachHandler(bed, "/dev/" + node, handlers, &d);
  if (d.handler == nullptr) return false;

  std::string record;
  record += "P: " + paths.hidraw + "\n";
  record += "N: " + node + "=00\n";
  record += "E: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/" + node + "\n";
  record += "A: dev=241:" + std::to_string(s.node) + "\\n\n";
  record += "L: device=../../../" + std::string(ids) + "\n\n";
  record += "P: " + hid + "\n";
  record += "E: SUBSYSTEM=hid\nE: HID_ID=0003:0000" + vendor + ":0000" + product + "\n";
  record += "E: HID_NAME=" + (s.hidName.empty() ? s.manufacturer + " " + s.product : s.hidName) + "\n";
  record += "E: HID_UNIQ=" + s.serial + "\n";
  record += "H: report_descriptor=" + Hex(descriptor) + "\n\n";
  record += "P: " + paths.interface + "\n";
  record += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=usbhid\n";
  record += "A: bInterfaceClass=03\\n\nA: bInterfaceNumber=00\\n\n\n";
  record += "P: " + usb + "\n";
  record += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
  record += "E: BUSNUM=001\nE: DEVNUM=" + std::to_string(100 + s.node) + "\n";
  record += "A: idVendor=" + vendor + "\\n\nA: idProduct=" + product + "\\n\n";
  record += "A: manufacturer=" + s.manufacturer + "\\n\nA: product=" + s.product + "\\n\n";
  if (!s.serial.empty()) record += "A: serial=" + s.serial + "\\n\n";
  record += "A: busnum=1\\n\nA: devnum=" + std::to_string(100 + s.node) + "\\n\n";
  record += "A: bConfigurationValue=1\\n\nA: speed=12\\n\n";
  record += "H: descriptors=" + Hex(UsbDescriptors(s, static_cast<uint16_t>(descriptor.size()))) + "\n";
  return AddDevices(bed, record);
}

std::string HidPort(const HidDeviceDescription& s) {
  return s.port.empty() ? "1-" + std::to_string(s.node + 2) : s.port;
}

// With the lock held: held writes fail as an unplugged device's do.
void EndHeldWrites(HidController& d) {
  for (UMockdevIoctlClient* client : d.heldWrites) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    g_object_unref(client);
  }
  d.heldWrites.clear();
}

void HidTick(HidController& d) {
  std::lock_guard<std::mutex> hold(d.lock);
  EndHeld(d.held, EAGAIN);
}

void HidUnplug(HidController& d) {
  std::lock_guard<std::mutex> hold(d.lock);
  d.lost = true;
  ReleaseHeld(d);
  EndHeldWrites(d);
}

void HidRemove(Bed& bed, HidController& d) {
  HidDetach(bed, d);
  const HidPaths p = PathsOf(d.description);
  for (const std::string& path : {p.hidraw, p.hid, p.interface, p.usb})
    umockdev_testbed_remove_device(bed.testbed, ("/sys" + path).c_str());
  std::lock_guard<std::mutex> hold(d.lock);
  d.input.clear();
  d.lastReadEmpty.clear();
  d.lost = false;
}

void HidDetach(Bed& bed, HidController& d) {
  {
    std::lock_guard<std::mutex> hold(d.lock);
    EndHeld(d.held, EAGAIN, true);
    EndHeldWrites(d);
  }
  DetachHandler(bed, "/dev/hidraw" + std::to_string(d.description.node), d.handler);
}

}  // namespace emu
