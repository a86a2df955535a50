#include "support/fake_serial.h"

#include <algorithm>

#include "flash/controller.h"
#include "link/link.h"
#include "protocol/pause.h"

FakeSerialRecord FakeSerial;

namespace {

constexpr SerialHandle kFakeHandle = 7;

bool DevicePath(std::string_view portName, std::string& path) { return SerialPathPosix(portName, path); }

SerialHandle Open(const char*) {
  ++FakeSerial.opens;
  return kFakeHandle;
}

bool IsCharacterDevice(SerialHandle) { return true; }

SerialConfigResult Configure(SerialHandle, int32_t baudRate, bool noCts) {
  FakeSerial.configuredRates.push_back(baudRate);
  FakeSerial.configuredNoCts.push_back(noCts);
  const auto& refused = FakeSerial.refusedRates;
  const auto& calls = FakeSerial.refusedCalls;
  if (std::find(refused.begin(), refused.end(), baudRate) != refused.end() ||
      std::find(calls.begin(), calls.end(), FakeSerial.configuredRates.size()) != calls.end())
    return SerialConfigResult::SetStateFailed;
  FakeSerial.hostRate = baudRate;
  return SerialConfigResult::Ok;
}

void SetupQueues(SerialHandle, uint32_t, uint32_t) {}

bool SetTimeouts(SerialHandle, const SerialTimeouts& timeouts) {
  FakeSerial.timeouts = timeouts;
  return true;
}

bool Close(SerialHandle) {
  ++FakeSerial.closes;
  return true;
}

void Answer(std::span<const uint8_t> wire) {
  FakeSerialRecord& f = FakeSerial;
  std::vector<uint8_t> reply;
  if (f.engine) {
    if (f.linkDropped) return;
    // Bytes at a rate the controller is not listening at never arrive whole.
    if (static_cast<uint32_t>(f.hostRate) != sim::SimCurrentRate(*f.engine)) return;
    uint32_t events = sim::SimFeed(*f.engine, wire.data(), wire.size(), reply);
    if (events & sim::kSimEventDropLink) f.linkDropped = true;
  } else if (f.responder) {
    reply = f.responder(wire);
  } else if (!f.script.empty()) {
    reply = std::move(f.script.front());
    f.script.pop_front();
  }
  f.incoming.insert(f.incoming.end(), reply.begin(), reply.end());
}

bool Write(SerialHandle, const uint8_t* bytes, uint32_t count, uint32_t* written) {
  FakeSerialRecord& f = FakeSerial;
  *written = 0;
  if (f.failWrites) return false;
  f.writes.push_back({{bytes, bytes + count}, f.timeouts.readConstant, f.timeouts.writeConstant});
  *written = count;
  Answer({bytes, count});
  return true;
}

bool Read(SerialHandle, uint8_t* bytes, uint32_t count, uint32_t* got) {
  FakeSerialRecord& f = FakeSerial;
  *got = 0;
  if (f.failReads) return false;
  while (*got < count && !f.incoming.empty()) {
    bytes[(*got)++] = f.incoming.front();
    f.incoming.pop_front();
  }
  if (*got == 0) {
    f.virtualMs += f.timeouts.readConstant;
    f.missTimeouts.push_back(f.timeouts.readConstant);
    // A controller sitting in a half-received frame gives up on it once the
    // line has been quiet long enough.
    if (f.engine) sim::SimLineIdle(*f.engine, f.timeouts.readConstant);
  }
  return true;
}

// Every byte is on the line the moment it is written.
bool OutputPending(SerialHandle, uint32_t* bytes) {
  *bytes = 0;
  return true;
}

void DiscardOutput(SerialHandle) {}

constexpr SerialPortApi kFakeSerialPort = {
    .devicePath = DevicePath,
    .open = Open,
    .isCharacterDevice = IsCharacterDevice,
    .configure = Configure,
    .setupQueues = SetupQueues,
    .setTimeouts = SetTimeouts,
    .close = Close,
    .write = Write,
    .read = Read,
    .outputPending = OutputPending,
    .discardOutput = DiscardOutput,
};

void RecordPause(uint32_t milliseconds) {
  FakeSerial.pauses.push_back(milliseconds);
  FakeSerial.virtualMs += milliseconds;
}

}  // namespace

void InstallFakeSerial() {
  FakeSerial.engine.reset();
  FakeSerial = FakeSerialRecord{};
  InstallSerialPortApi(&kFakeSerialPort);
  InstallPause(RecordPause);
}

void RemoveFakeSerial() {
  InstallSerialPortApi(nullptr);
  InstallPause(nullptr);
  FakeSerial.engine.reset();
}

bool UseSim(const sim::SimConfig& config) {
  FakeSerial.engine = std::make_unique<sim::SimEngine>();
  if (sim::SimInit(*FakeSerial.engine, config)) return true;
  FakeSerial.engine.reset();
  return false;
}

void QueueReply(std::initializer_list<uint8_t> bytes) {
  FakeSerial.incoming.insert(FakeSerial.incoming.end(), bytes.begin(), bytes.end());
}

void QueueReply(std::span<const uint8_t> bytes) {
  FakeSerial.incoming.insert(FakeSerial.incoming.end(), bytes.begin(), bytes.end());
}

void ScriptReply(std::vector<uint8_t> bytes) { FakeSerial.script.push_back(std::move(bytes)); }

std::vector<uint8_t> Unescape(std::span<const uint8_t> wire) {
  std::vector<uint8_t> frame;
  for (size_t i = 0; i < wire.size(); ++i) {
    frame.push_back(wire[i]);
    if (i > 0 && wire[i] == 0xAA && i + 1 < wire.size() && wire[i + 1] == 0xAA) ++i;
  }
  return frame;
}

FakeSerialSession::FakeSerialSession(bool noCts, bool open) {
  ResetLinkState();
  ResetCurrentController();
  InstallFakeSerial();
  if (open) LinkOpen("com1", 115200, noCts, LinkKind::Serial);
}

FakeSerialSession::~FakeSerialSession() {
  if (LinkState.isOpen) LinkClose();
  RemoveFakeSerial();
  ResetLinkState();
  ResetCurrentController();
}
