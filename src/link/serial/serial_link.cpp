#include "link/serial/serial_link.h"

#include <cctype>
#include <chrono>
#include <thread>

#include "base/status.h"
#include "base/timeouts.h"
#include "link/serial/serial_port.h"

namespace {

struct SerialPortRecord {
  SerialHandle handle = kInvalidSerialHandle;
  bool isOpen = false;
  uint32_t cachedReceiveTimeoutMs = 0;
  uint32_t cachedSendTimeoutMs = 0;
};

SerialPortRecord gPort;
const SerialPortApi* gApi = &kSystemSerialPort;

bool PortUsable() { return gPort.isOpen && gPort.handle != kInvalidSerialHandle; }

using Clock = std::chrono::steady_clock;

// A write may return once its bytes are queued in the system; while CTS
// holds the line they stay there. A send therefore lasts until the queue is
// empty, within the time-out a Windows driver gives the whole write. Checked
// every millisecond, so a drained line costs at most that.
bool AwaitOutputDrained(Clock::time_point deadline) {
  for (;;) {
    uint32_t pending = 0;
    if (!gApi->outputPending(gPort.handle, &pending) || pending == 0) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

constexpr size_t kMaxPortName = 100;

std::string LowerPrefix(std::string_view name, size_t limit) {
  std::string out(name.substr(0, limit));
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

void InstallSerialPortApi(const SerialPortApi* api) { gApi = api ? api : &kSystemSerialPort; }

bool SerialPathWindows(std::string_view portName, std::string& path) {
  std::string name = LowerPrefix(portName, kMaxPortName);
  if (name.compare(0, 3, "com") != 0) return false;
  if (name.back() == ':') name.pop_back();
  path = "\\\\.\\" + name;
  if (path.size() > kMaxPortName) path.resize(kMaxPortName);
  return true;
}

bool SerialPathPosix(std::string_view portName, std::string& path) {
  if (!portName.empty() && portName.front() == '/') {
    path = std::string(portName);
    return true;
  }
  std::string name = LowerPrefix(portName, kMaxPortName);
  if (name.compare(0, 3, "com") != 0) return false;
  if (name.back() == ':') name.pop_back();
  std::string_view digits = std::string_view(name).substr(3);
  if (digits.empty() || digits.size() > 6) return false;
  unsigned long number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<unsigned long>(c - '0');
  }
  if (number == 0) return false;
  path = "/dev/ttyS" + std::to_string(number - 1);
  return true;
}

int SerialOpen(std::string_view portName, int32_t baudRate, bool noCts) {
  if (gPort.isOpen) return SetLastStatus(kStatusSerialAlreadyOpen);
  std::string path;
  if (!gApi->devicePath(portName, path)) return SetLastStatus(kStatusSerialBadPortName);
  gPort.handle = gApi->open(path.c_str());
  if (gPort.handle == kInvalidSerialHandle) return SetLastStatus(kStatusSerialOpenFailed);
  if (!gApi->isCharacterDevice(gPort.handle)) {
    gApi->close(gPort.handle);
    gPort.handle = kInvalidSerialHandle;
    return SetLastStatus(kStatusSerialNotCharacterDevice);
  }
  gPort.isOpen = true;
  if (SerialConfigure(baudRate, noCts)) return 1;
  // A failed open leaves nothing open behind it; the configure status stands.
  gApi->close(gPort.handle);
  gPort = SerialPortRecord{};
  return 0;
}

int SerialConfigure(int32_t baudRate, bool noCts) {
  if (!PortUsable()) return SetLastStatus(kStatusSerialConfigNotOpen);
  switch (gApi->configure(gPort.handle, baudRate, noCts)) {
    case SerialConfigResult::GetStateFailed: return SetLastStatus(kStatusSerialGetStateFailed);
    case SerialConfigResult::SetStateFailed: return SetLastStatus(kStatusSerialSetStateFailed);
    case SerialConfigResult::Ok: break;
  }
  gApi->setupQueues(gPort.handle, 4096, 4096);
  return SerialSetTimeouts(kStandingReceiveMs, kStandingSendMs);
}

int SerialSetTimeouts(uint32_t receiveMs, uint32_t sendMs) {
  if (!PortUsable()) return SetLastStatus(kStatusSerialSetTimeoutsNotOpen);
  if (receiveMs == gPort.cachedReceiveTimeoutMs && sendMs == gPort.cachedSendTimeoutMs) return 1;
  const SerialTimeouts timeouts{100, 1, receiveMs, 1, sendMs};
  if (!gApi->setTimeouts(gPort.handle, timeouts)) return SetLastStatus(kStatusSerialSetTimeoutsFailed);
  gPort.cachedReceiveTimeoutMs = receiveMs;
  gPort.cachedSendTimeoutMs = sendMs;
  return 1;
}

int SerialClose() {
  gPort.cachedReceiveTimeoutMs = 0;
  gPort.cachedSendTimeoutMs = 0;
  if (!PortUsable()) return SetLastStatus(kStatusSerialCloseNotOpen);
  // Frames that CTS still holds back would keep the close waiting (the
  // usb-serial drivers wait 30 s); nobody is listening for them any more.
  gApi->discardOutput(gPort.handle);
  bool closed = gApi->close(gPort.handle);
  gPort.handle = kInvalidSerialHandle;
  gPort.isOpen = false;
  if (!closed) return SetLastStatus(kStatusSerialCloseFailed);
  return 1;
}

int SerialSend(const uint8_t* bytes, uint32_t count) {
  if (!gPort.isOpen) return SetLastStatus(kStatusSerialSendNotOpen);
  // The write time-out: 1 ms a byte plus the send time-out in force.
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(uint64_t{count} + gPort.cachedSendTimeoutMs);
  uint32_t written = 0;
  if (!gApi->write(gPort.handle, bytes, count, &written)) return SetLastStatus(kStatusSerialSendFailed);
  if (written < count || !AwaitOutputDrained(deadline)) return SetLastStatus(kStatusSerialSendIncomplete);
  return 1;
}

int SerialReceiveByte(uint8_t* byte) {
  if (!gPort.isOpen) return SetLastStatus(kStatusSerialReceiveNotOpen);
  uint32_t got = 0;
  if (!gApi->read(gPort.handle, byte, 1, &got)) return SetLastStatus(kStatusSerialReadFailed);
  if (got == 0) return SetLastStatus(kStatusSerialNoData);
  return 1;
}
