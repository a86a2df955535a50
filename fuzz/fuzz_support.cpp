#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "base/status.h"
#include "flash/controller.h"
#include "link/ethernet/eth_state.h"
#include "link/link.h"
#include "link/serial/serial_port.h"
#include "link/usb/hid_device.h"
#include "link/usb/winusb_device.h"
#include "protocol/pause.h"

namespace fuzz {

Bytes Input::Take(size_t count) {
  size_t n = count < Left() ? count : Left();
  Bytes out(data.begin() + static_cast<ptrdiff_t>(at), data.begin() + static_cast<ptrdiff_t>(at + n));
  at += n;
  return out;
}

void Fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "property failed: %s (%s:%d)\n", what, file, line);
  std::fflush(stderr);
  std::abort();
}

void SilenceStdout() {
  if (!std::freopen("/dev/null", "w", stdout)) Fail("stdout to /dev/null", __FILE__, __LINE__);
}

Bytes MakeImage(size_t length, const char* model) {
  Bytes image(length);
  for (size_t i = 0; i < length; ++i) image[i] = static_cast<uint8_t>(i * 29 + (i >> 7) + 0x33);
  std::memcpy(image.data(), "zarn", 4);
  image[6] = 4;
  std::memset(&image[111], 0, 7);
  std::memcpy(&image[111], model, std::min<size_t>(std::strlen(model), 7));
  uint8_t sum = 0;
  for (size_t i = 0; i + 1 < length; ++i) sum = static_cast<uint8_t>(sum + image[i]);
  image[length - 1] = static_cast<uint8_t>(-sum);
  return image;
}

namespace {

std::string gTempDir;

void RemoveTempDirectory() {
  std::error_code ignored;
  if (!gTempDir.empty()) std::filesystem::remove_all(gTempDir, ignored);
}

}  // namespace

const std::string& TempDirectory() {
  if (gTempDir.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "pendrel-fuzz-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) Fail("mkdtemp", __FILE__, __LINE__);
    gTempDir = name.data();
    std::atexit(RemoveTempDirectory);
  }
  return gTempDir;
}

std::string WriteTempFile(const std::string& name, std::span<const uint8_t> bytes) {
  std::string path = TempDirectory() + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
    Fail("temp file", __FILE__, __LINE__);
  std::fclose(f);
  return path;
}

bool Unescape(std::span<const uint8_t> wire, Bytes& frame) {
  frame.clear();
  for (size_t i = 0; i < wire.size(); ++i) {
    frame.push_back(wire[i]);
    if (i == 0 || wire[i] != 0xAA) continue;
    if (i + 1 >= wire.size() || wire[i + 1] != 0xAA) return false;
    ++i;
  }
  return true;
}

uint32_t ReferenceCrc32(std::span<const uint8_t> bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// ---- serial port --------------------------------------------------------

FakeSerialRecord FakeSerial;

namespace {

constexpr SerialHandle kFakeSerialHandle = 5;

bool SerialDevicePath(std::string_view portName, std::string& path) {
  return SerialPathPosix(portName, path);
}
SerialHandle SerialOpenFake(const char*) { return kFakeSerialHandle; }
bool SerialIsCharacterDevice(SerialHandle) { return true; }
SerialConfigResult SerialConfigureFake(SerialHandle, int32_t, bool) { return SerialConfigResult::Ok; }
void SerialSetupQueues(SerialHandle, uint32_t, uint32_t) {}
bool SerialSetTimeoutsFake(SerialHandle, const SerialTimeouts&) { return true; }
bool SerialCloseFake(SerialHandle) { return true; }

bool SerialWriteFake(SerialHandle, const uint8_t* bytes, uint32_t count, uint32_t* written) {
  *written = 0;
  if (FakeSerial.failWrites) return false;
  FakeSerial.writes.emplace_back(bytes, bytes + count);
  *written = count;
  return true;
}

bool SerialReadFake(SerialHandle, uint8_t* bytes, uint32_t count, uint32_t* got) {
  FakeSerialRecord& f = FakeSerial;
  ++f.reads;
  *got = 0;
  while (*got < count && !f.incoming.empty()) {
    bytes[(*got)++] = f.incoming.front();
    f.incoming.pop_front();
  }
  if (*got != 0) return true;
  ++f.misses;
  return !f.failReadsAtEnd;
}

bool SerialOutputPending(SerialHandle, uint32_t* bytes) {
  *bytes = 0;
  return true;
}
void SerialDiscardOutput(SerialHandle) {}

constexpr SerialPortApi kFakeSerialPort = {
    .devicePath = SerialDevicePath,
    .open = SerialOpenFake,
    .isCharacterDevice = SerialIsCharacterDevice,
    .configure = SerialConfigureFake,
    .setupQueues = SerialSetupQueues,
    .setTimeouts = SerialSetTimeoutsFake,
    .close = SerialCloseFake,
    .write = SerialWriteFake,
    .read = SerialReadFake,
    .outputPending = SerialOutputPending,
    .discardOutput = SerialDiscardOutput,
};

void CountPause(uint32_t) { ++FakeSerial.pauses; }

}  // namespace

void InstallFakeSerial() {
  FakeSerial = FakeSerialRecord{};
  InstallSerialPortApi(&kFakeSerialPort);
  InstallPause(CountPause);
}

// ---- sockets ------------------------------------------------------------

FakeSocketRecord FakeSocket;

namespace {

bool SockStartup() {
  ++FakeSocket.startups;
  return !FakeSocket.startupFails;
}
void SockCleanup() {}
EthSocket SockOpenDatagram() {
  ++FakeSocket.opens;
  return kFakeUdpSocket;
}
EthSocket SockOpenStream() {
  ++FakeSocket.opens;
  return kFakeTcpSocket;
}
bool SockEnableBroadcast(EthSocket s) { return s == kFakeUdpSocket; }

int32_t SockSendTo(EthSocket s, const uint8_t*, uint32_t count, EthEndpoint) {
  if (s != kFakeUdpSocket) return -1;
  ++FakeSocket.broadcasts;
  return static_cast<int32_t>(count);
}

std::deque<SocketEvent>* QueueOf(EthSocket s) {
  if (s == kFakeUdpSocket) return &FakeSocket.udp;
  if (s == kFakeTcpSocket) return &FakeSocket.tcp;
  return nullptr;
}

int32_t SockWaitReadable(EthSocket s, uint32_t seconds, uint32_t microseconds) {
  FUZZ_CHECK(microseconds < 1000000);
  std::deque<SocketEvent>* queue = QueueOf(s);
  if (!queue) return -1;
  if (s == kFakeUdpSocket) {
    ++FakeSocket.udpWaits;
  } else {
    ++FakeSocket.tcpWaits;
    FakeSocket.tcpWaitMs.push_back(seconds * 1000 + microseconds / 1000);
  }
  if (queue->empty()) return 0;
  switch (queue->front().kind) {
    case EventKind::Quiet: queue->pop_front(); return 0;
    case EventKind::WaitFails: queue->pop_front(); return -1;
    default: return 1;
  }
}

int32_t SockReceiveFrom(EthSocket s, uint8_t* buffer, uint32_t capacity, EthEndpoint* from,
                        int32_t* fromLength) {
  if (s != kFakeUdpSocket || FakeSocket.udp.empty()) return -1;
  SocketEvent event = std::move(FakeSocket.udp.front());
  FakeSocket.udp.pop_front();
  if (event.kind == EventKind::ReceiveFails) return -1;
  if (event.kind == EventKind::Closed) event.bytes.clear();
  if (event.bytes.size() > capacity) return -1;  // as Winsock reports a datagram that does not fit
  if (!event.bytes.empty()) std::memcpy(buffer, event.bytes.data(), event.bytes.size());
  *from = event.from;
  *fromLength = 16;
  return static_cast<int32_t>(event.bytes.size());
}

bool SockConnect(EthSocket s, EthEndpoint to) {
  ++FakeSocket.connects;
  FakeSocket.connectedTo = to;
  return s == kFakeTcpSocket && !FakeSocket.connectFails;
}

int32_t SockSend(EthSocket s, const uint8_t* bytes, uint32_t count) {
  if (s != kFakeTcpSocket) return -1;
  ++FakeSocket.tcpSends;
  FakeSocket.sentTcp.insert(FakeSocket.sentTcp.end(), bytes, bytes + count);
  return static_cast<int32_t>(count);
}

int32_t SockReceive(EthSocket s, uint8_t* buffer, uint32_t capacity) {
  if (s != kFakeTcpSocket || FakeSocket.tcp.empty()) return -1;
  SocketEvent& event = FakeSocket.tcp.front();
  if (event.kind == EventKind::Closed) return 0;  // stays: a closed peer stays closed
  if (event.kind != EventKind::Data) {
    FakeSocket.tcp.pop_front();
    return -1;
  }
  size_t left = event.bytes.size() - FakeSocket.tcpBlockAt;
  size_t n = left < capacity ? left : capacity;
  if (n != 0) std::memcpy(buffer, event.bytes.data() + FakeSocket.tcpBlockAt, n);
  FakeSocket.delivered.emplace_back(Bytes(buffer, buffer + n), FakeSocket.sentTcp.size());
  FakeSocket.tcpBlockAt += n;
  if (FakeSocket.tcpBlockAt == event.bytes.size()) {
    FakeSocket.tcp.pop_front();
    FakeSocket.tcpBlockAt = 0;
  }
  return static_cast<int32_t>(n);
}

void SockClose(EthSocket) { ++FakeSocket.closes; }

constexpr EthSocketApi kFakeSocketApi = {
    .startup = SockStartup,
    .cleanup = SockCleanup,
    .openDatagram = SockOpenDatagram,
    .openStream = SockOpenStream,
    .enableBroadcast = SockEnableBroadcast,
    .sendTo = SockSendTo,
    .waitReadable = SockWaitReadable,
    .receiveFrom = SockReceiveFrom,
    .connect = SockConnect,
    .send = SockSend,
    .receive = SockReceive,
    .close = SockClose,
};

}  // namespace

void InstallFakeSockets() {
  FakeSocket = FakeSocketRecord{};
  InstallEthSocketApi(&kFakeSocketApi);
}

// ---- USB that finds nothing ----------------------------------------------

namespace {

bool UsbLoad() { return true; }
void UsbUnload() {}
bool HidEnumerateNone(HidVisit, void*) { return true; }
UsbHandle HidOpenWriteNone(const char*, uint16_t*, uint16_t*) { return kNoUsbHandle; }
HidWriteOutcome HidWriteNone(UsbHandle, const uint8_t*, uint32_t, uint32_t*, uint32_t) {
  return HidWriteOutcome::DeviceGone;
}
void CloseNone(UsbHandle) {}
UsbHandle HidOpenReadNone(const char*, uint16_t) { return kNoUsbHandle; }
UsbReadOutcome HidReadNone(UsbHandle, uint8_t*, uint32_t, uint32_t*, UsbHandle) {
  return UsbReadOutcome::Failed;
}
UsbHandle CreateStopNone() { return kNoUsbHandle; }

constexpr HidDeviceApi kNoHid = {
    .load = UsbLoad,
    .unload = UsbUnload,
    .enumerate = HidEnumerateNone,
    .openWrite = HidOpenWriteNone,
    .write = HidWriteNone,
    .closeWrite = CloseNone,
    .openRead = HidOpenReadNone,
    .read = HidReadNone,
    .closeRead = CloseNone,
    .createStop = CreateStopNone,
    .raiseStop = CloseNone,
    .destroyStop = CloseNone,
};

bool WinUsbEnumerateNone(WinUsbVisit, void*) { return true; }
void ReleaseNone() {}
bool WinUsbOpenNone(const char*) { return false; }
bool WinUsbQueryInterfaceNone(uint8_t*) { return false; }
bool WinUsbQueryPipeNone(uint8_t, WinUsbPipeInfo*) { return false; }
bool WinUsbSetPipeTimeoutNone(uint8_t, uint32_t) { return false; }
bool WinUsbWriteNone(uint8_t, const uint8_t*, uint32_t, uint32_t*) { return false; }
UsbReadOutcome WinUsbReadNone(uint8_t, uint8_t*, uint32_t, uint32_t*, UsbHandle) {
  return UsbReadOutcome::Failed;
}

constexpr WinUsbDeviceApi kNoWinUsb = {
    .load = UsbLoad,
    .unload = UsbUnload,
    .enumerate = WinUsbEnumerateNone,
    .open = WinUsbOpenNone,
    .queryInterface = WinUsbQueryInterfaceNone,
    .queryPipe = WinUsbQueryPipeNone,
    .setPipeTimeout = WinUsbSetPipeTimeoutNone,
    .write = WinUsbWriteNone,
    .read = WinUsbReadNone,
    .release = ReleaseNone,
    .createStop = CreateStopNone,
    .raiseStop = CloseNone,
    .destroyStop = CloseNone,
};

}  // namespace

void InstallEmptyUsb() {
  InstallHidDeviceApi(&kNoHid);
  InstallWinUsbDeviceApi(&kNoWinUsb);
}

void ResetProcessState() {
  if (LinkState.isOpen) LinkClose();
  ResetLinkState();
  ResetCurrentController();
  ResetEthernetState();
  SetLastStatus(0);
}

}  // namespace fuzz
