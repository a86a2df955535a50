// The links on Linux, from the kernel's tables: /sys/class/tty with the USB
// device above each port, /dev/serial/by-id, /sys/bus/usb/devices for bulk
// controllers and /sys/class/hidraw for HID ones. Nothing is opened.
// PENDREL_STATION_ROOT puts /sys and /dev under another directory (tests).
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>

#include "system.h"

namespace {

constexpr const char* kTaloVendor = "0483";
constexpr const char* kTaloBulkProducts[] = {"1511", "1512", "1513"};
constexpr const char* kTaloHidProduct = "Talo Controller";

std::string Root() {
  const char* r = std::getenv("PENDREL_STATION_ROOT");
  return r ? r : "";
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.emplace_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadAttribute(const std::string& path) {
  std::ifstream f(path);
  std::string value;
  std::getline(f, value);
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
  return value;
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string Basename(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The USB device directory at or above a sysfs device, or empty.
std::string UsbDeviceAbove(const std::string& sysfsDevice) {
  std::string dir = RealPath(sysfsDevice);
  std::string stop = RealPath(Root() + "/sys");
  while (!dir.empty() && dir != stop && dir != "/") {
    if (Exists(dir + "/idVendor") && Exists(dir + "/idProduct")) return dir;
    dir = dir.substr(0, dir.rfind('/'));
  }
  return {};
}

void FillUsb(LinkInfo& l, const std::string& usbDevice) {
  if (usbDevice.empty()) return;
  l.usbId = ReadAttribute(usbDevice + "/idVendor") + ":" + ReadAttribute(usbDevice + "/idProduct");
  l.serial = ReadAttribute(usbDevice + "/serial");
  // The device's own sysfs name says where it is plugged in: 1-1.4 is bus 1, port 1, then port 4.
  if (l.kind != "serial") l.location = Basename(RealPath(usbDevice));
}

// The by-id names, keyed by the device's name (ttyUSB0).
std::vector<std::pair<std::string, std::string>> ById() {
  std::vector<std::pair<std::string, std::string>> names;
  std::string dir = Root() + "/dev/serial/by-id";
  for (const std::string& n : Entries(dir)) {
    std::string target = RealPath(dir + "/" + n);
    if (!target.empty()) names.emplace_back(Basename(target), "/dev/serial/by-id/" + n);
  }
  return names;
}

std::vector<LinkInfo> SerialLinks() {
  std::vector<LinkInfo> links;
  auto byId = ById();
  std::string ttys = Root() + "/sys/class/tty";
  for (const std::string& name : Entries(ttys)) {
    std::string usb = UsbDeviceAbove(ttys + "/" + name + "/device");
    bool usbSerial = name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
    // Plain ttyS entries are mostly the PC's unused UART slots: only USB ports are listed.
    if (!usbSerial && usb.empty()) continue;
    if (!Exists(ttys + "/" + name + "/device")) continue;
    LinkInfo l;
    l.kind = "serial";
    l.path = "/dev/" + name;
    FillUsb(l, usb);
    for (const auto& [dev, id] : byId)
      if (dev == name) l.detail = id;
    links.push_back(l);
  }
  return links;
}

std::vector<LinkInfo> BulkControllers() {
  std::vector<LinkInfo> links;
  std::string dir = Root() + "/sys/bus/usb/devices";
  for (const std::string& name : Entries(dir)) {
    std::string dev = dir + "/" + name;
    if (ReadAttribute(dev + "/idVendor") != kTaloVendor) continue;
    std::string product = ReadAttribute(dev + "/idProduct");
    if (std::find(std::begin(kTaloBulkProducts), std::end(kTaloBulkProducts), product) ==
        std::end(kTaloBulkProducts))
      continue;
    LinkInfo l;
    l.kind = "usb-bulk";
    int bus = std::atoi(ReadAttribute(dev + "/busnum").c_str());
    int address = std::atoi(ReadAttribute(dev + "/devnum").c_str());
    char path[64];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03d/%03d", bus, address);
    l.path = path;
    std::snprintf(path, sizeof path, "usb:%03d:%03d", bus, address);
    l.otherPath = path;
    FillUsb(l, dev);
    l.detail = ReadAttribute(dev + "/product");
    links.push_back(l);
  }
  return links;
}

std::vector<LinkInfo> HidControllers() {
  std::vector<LinkInfo> links;
  std::string dir = Root() + "/sys/class/hidraw";
  for (const std::string& name : Entries(dir)) {
    std::string usb = UsbDeviceAbove(dir + "/" + name + "/device");
    if (usb.empty() || ReadAttribute(usb + "/product") != kTaloHidProduct) continue;
    LinkInfo l;
    l.kind = "usb-hid";
    l.path = "/dev/" + name;
    FillUsb(l, usb);
    l.detail = kTaloHidProduct;
    links.push_back(l);
  }
  return links;
}

// comN (any case, optional colon) is /dev/ttyS(N-1), as pendrel reads it.
std::string DevicePath(const std::string& port) {
  std::string p = port;
  if (!p.empty() && p.back() == ':') p.pop_back();
  if (p.size() > 3 && (p[0] == 'c' || p[0] == 'C') && (p[1] == 'o' || p[1] == 'O') &&
      (p[2] == 'm' || p[2] == 'M') &&
      std::all_of(p.begin() + 3, p.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    int n = std::atoi(p.c_str() + 3);
    if (n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
  }
  return port;
}

}  // namespace

std::vector<LinkInfo> ListLinks() {
  std::vector<LinkInfo> links = SerialLinks();
  std::vector<LinkInfo> usb = UsbControllers();
  links.insert(links.end(), usb.begin(), usb.end());
  return links;
}

std::vector<LinkInfo> UsbControllers() {
  std::vector<LinkInfo> links = BulkControllers();
  std::vector<LinkInfo> hid = HidControllers();
  links.insert(links.end(), hid.begin(), hid.end());
  return links;
}

bool UsbNamesIgnoreCase() { return false; }

std::vector<std::string> SerialPortNames() {
  std::vector<std::string> names;
  for (const LinkInfo& l : SerialLinks()) names.push_back(l.path);
  return names;
}

std::string CanonicalPortName(const std::string& port) {
  std::string path = DevicePath(port);
  std::string real = RealPath(path);
  return real.empty() ? path : real;
}

bool PortPresent(const std::string& port) { return Exists(DevicePath(port)); }

std::string UsbSerialOfPort(const std::string& port) {
  std::string real = RealPath(DevicePath(port));
  if (real.empty()) return {};
  std::string usb = UsbDeviceAbove(Root() + "/sys/class/tty/" + Basename(real) + "/device");
  return usb.empty() ? std::string() : ReadAttribute(usb + "/serial");
}
