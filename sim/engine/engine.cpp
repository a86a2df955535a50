#include "engine/engine.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>

#include "engine/flash.h"

namespace sim {
namespace {

enum class Cmd : uint8_t {
  Probe,
  StartLoader,
  Ping,
  Ident,
  Name,
  BlockSize,
  Baud,
  Reboot,
  Page8,
  Page16,
  SubPage,
  NandIndex,
  Erase,
  Write,
  Flush,
  Verify,
};

// One loader frame being answered (defined with the engine state below).
struct LoaderCall;
using LoaderHandler = void (*)(LoaderCall& call);

struct CommandEntry {
  Cmd cmd;
  std::string_view name;
  std::array<uint8_t, 4> prefix;
  uint8_t prefixLength;
  uint8_t paramLength;   // bytes after the prefix (write: its header; data and check byte follow)
  bool escFrame;         // spoken by the application, not by the loader
  uint32_t busyUs;       // modelled controller time (erase and write add to it)
  LoaderHandler loader;  // what the loader does with it (none: it ignores the frame)
};

constexpr size_t kCommandCount = static_cast<size_t>(Cmd::Verify) + 1;
constexpr uint8_t kStartLoaderTail[] = {0x4E, 0x64};

constexpr uint32_t kEraseUsPerKb = 40;
constexpr uint32_t kWriteUsPerByte = 4;
constexpr uint32_t kVerifyUsPerKb = 15;
constexpr uint32_t kTruncateIdleMs = 100;
constexpr uint32_t kMinRate = 300;
constexpr uint32_t kMaxRate = 4000000;

// Families that flush, verify and change their line rate.
constexpr bool FamilyHasLoaderExtras(uint8_t family) { return family >= 2; }

struct FaultKindName {
  FaultKind kind;
  std::string_view name;
};
constexpr FaultKindName kFaultKinds[] = {
    {FaultKind::Nak, "nak"},
    {FaultKind::ChecksumError, "checksum"},
    {FaultKind::Overrun, "overrun"},
    {FaultKind::Silence, "silence"},
    {FaultKind::WrongFirstByte, "wrong-byte"},
    {FaultKind::DropLink, "drop"},
};

std::string_view FaultKindText(FaultKind kind) {
  for (const FaultKindName& k : kFaultKinds)
    if (k.kind == kind) return k.name;
  return "?";
}

enum class DecodeState { Idle, InFrame, Discard };

struct Selection {
  bool valid = false;
  PageSelect kind = PageSelect::Page8;
  uint32_t page = 0;
  PageSpan span;
  uint32_t subPage = 0;
};

}  // namespace

struct SimEngineState {
  SimConfig config;
  const FlashModel* model = nullptr;
  const ChipRule* rule = nullptr;
  std::string configError;

  SimMode mode = SimMode::Application;
  uint32_t rate = 115200;
  SimStats stats;
  std::array<uint32_t, kCommandCount> occurrences{};

  DecodeState decode = DecodeState::Idle;
  std::vector<uint8_t> frame;
  const CommandEntry* frameCommand = nullptr;  // the frame's command, once no later byte can change it
  bool pendingAA = false;                      // an AA inside a frame, waiting for its twin
  std::vector<uint8_t> garbage;
  uint32_t discarded = 0;

  Selection selection;
  bool nandIndexErased = false;
  uint32_t refusedWrites = 0;  // this session's blocks that could not land
  FlashMemory flash;
  uint32_t events = 0;
};

namespace {

void Log(SimEngineState& s, SimRecordKind kind, std::string_view command, std::vector<uint8_t> frame,
         std::vector<uint8_t> reply, std::string text) {
  if (!s.config.log) return;
  SimRecord record{kind, std::string(command), std::move(frame), std::move(reply), std::move(text)};
  s.config.log(record);
}

void HostFault(SimEngineState& s, std::string_view command, std::string text) {
  ++s.stats.hostFaults;
  Log(s, SimRecordKind::HostFault, command, {}, {}, std::move(text));
}

std::string Format(const char* format, auto... args) {
  char text[256];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

uint32_t Be16(const std::vector<uint8_t>& f, size_t at) { return (uint32_t{f[at]} << 8) | f[at + 1]; }

void FlushGarbage(SimEngineState& s) {
  if (s.garbage.empty()) return;
  size_t count = s.garbage.size();
  ++s.stats.hostFaults;
  Log(s, SimRecordKind::Garbage, "", std::move(s.garbage), {},
      Format("%zu byte(s) outside any frame ignored", count));
  s.garbage.clear();
}

void ResetSession(SimEngineState& s) {
  s.selection = Selection{};
  s.nandIndexErased = false;
  s.refusedWrites = 0;
}

// One loader frame being answered.
struct LoaderCall {
  SimEngineState& s;
  const CommandEntry& entry;
  const std::vector<uint8_t>& f;  // the unescaped frame
  std::vector<uint8_t>& reply;
};

// A known command that the loader cannot carry out: NAK, and a host fault.
void Refuse(LoaderCall& call, std::string why) {
  call.reply.push_back(kSimNak);
  HostFault(call.s, call.entry.name, std::move(why));
}

void Note(LoaderCall& call, std::string text) {
  Log(call.s, SimRecordKind::Note, call.entry.name, {}, {}, std::move(text));
}

// A text answer: ACK, the text, ACK.
void ReplyText(LoaderCall& call, const std::string& text) {
  call.reply.push_back(kSimAck);
  call.reply.insert(call.reply.end(), text.begin(), text.end());
  call.reply.push_back(kSimAck);
}

void LoaderPing(LoaderCall& call) { call.reply.push_back(kSimAck); }

void LoaderIdent(LoaderCall& call) { ReplyText(call, call.s.config.identification); }

void LoaderName(LoaderCall& call) {
  const SimConfig& config = call.s.config;
  ReplyText(call, config.nameAnswer ? *config.nameAnswer : config.model);
}

void LoaderBlockSize(LoaderCall& call) {
  const std::optional<uint16_t>& answer = call.s.config.blockSizeAnswer;
  if (!answer) return Note(call, "block-size query left unanswered (configured)");
  call.reply.push_back(kSimAck);
  call.reply.push_back(static_cast<uint8_t>(*answer >> 8));
  call.reply.push_back(static_cast<uint8_t>(*answer));
  call.reply.push_back(kSimAck);  // closing byte
}

void LoaderBaud(LoaderCall& call) {
  SimEngineState& s = call.s;
  const std::vector<uint8_t>& f = call.f;
  uint32_t rate = (uint32_t{f[4]} << 24) | (uint32_t{f[5]} << 16) | (uint32_t{f[6]} << 8) | f[7];
  if (!FamilyHasLoaderExtras(s.model->family))
    return Refuse(call, Format("family %u cannot change its line rate", s.model->family));
  if (rate < kMinRate || rate > kMaxRate) return Refuse(call, Format("line rate %u refused", rate));
  call.reply.push_back(kSimAck);
  if (rate != s.rate) {
    s.rate = rate;
    s.events |= kSimEventRateChange;
  }
  Note(call, Format("line rate %u after this reply", rate));
}

void LoaderReboot(LoaderCall& call) {
  SimEngineState& s = call.s;
  call.reply.push_back(kSimAck);
  s.events |= kSimEventReboot;
  ++s.stats.reboots;
  ResetSession(s);
  if (s.mode != SimMode::Silent) s.mode = SimMode::Application;
  if (s.rate != s.config.initialRate) {
    s.rate = s.config.initialRate;
    s.events |= kSimEventRateChange;
  }
  Note(call, "rebooting into the application");
}

// Page8 and Page16: only the select command of the chip's own kind names a page.
void LoaderSelectPage(LoaderCall& call) {
  SimEngineState& s = call.s;
  const ChipRule& rule = *s.rule;
  PageSelect kind = call.entry.cmd == Cmd::Page8 ? PageSelect::Page8 : PageSelect::Page16;
  uint32_t page = kind == PageSelect::Page8 ? call.f[3] : Be16(call.f, 3);
  s.selection = Selection{};
  if (kind != rule.select)
    return Refuse(call, Format("chip code %u does not select pages with this command", rule.chipCode));
  std::optional<PageSpan> span = ResolvePage(*s.model, rule, kind, page);
  if (!span) return Refuse(call, Format("page %u is not a page of %s", page, s.config.model.c_str()));
  s.selection = Selection{true, kind, page, *span, 0};
  call.reply.push_back(kSimAck);
}

void LoaderSubPage(LoaderCall& call) {
  SimEngineState& s = call.s;
  const ChipRule& rule = *s.rule;
  uint32_t sub = Be16(call.f, 3);
  if (rule.subPageSize == 0) return Refuse(call, Format("chip code %u has no sub-pages", rule.chipCode));
  if (!s.selection.valid) return Refuse(call, "sub-page selected before any page");
  if (uint64_t{sub} * rule.subPageSize >= s.selection.span.size)
    return Refuse(call, Format("sub-page %u out of range", sub));
  s.selection.subPage = sub;
  call.reply.push_back(kSimAck);
}

void LoaderNandIndex(LoaderCall& call) {
  const ChipRule& rule = *call.s.rule;
  if (!rule.nandIndex) return Refuse(call, Format("chip code %u has no NAND index", rule.chipCode));
  call.s.nandIndexErased = true;
  call.reply.push_back(kSimAck);
}

void LoaderErase(LoaderCall& call) {
  SimEngineState& s = call.s;
  const ChipRule& rule = *s.rule;
  uint32_t parameter = Be16(call.f, 3);
  if (!s.selection.valid) return Refuse(call, "erase without a selected page");
  if (parameter != rule.eraseParameter)
    return Refuse(call,
                  Format("erase parameter 0x%04X, this loader takes 0x%04X", parameter, rule.eraseParameter));
  if (rule.nandIndex && s.selection.page == rule.firstPage && !s.nandIndexErased)
    HostFault(s, call.entry.name, "first page erased before the NAND index");
  FlashErase(s.flash, s.selection.span);
  s.selection.subPage = 0;
  s.stats.controllerTimeUs += uint64_t{s.selection.span.size / 1024} * kEraseUsPerKb;
  call.reply.push_back(kSimAck);
}

// A write block the loader takes but that cannot land in flash: it also
// fails this session's flush and verify.
void RefuseWrite(LoaderCall& call, std::string why) {
  ++call.s.refusedWrites;
  Refuse(call, std::move(why));
}

// The block's data and check byte are whole and fit the buffer; false (and
// answered) when not.
bool WriteBlockIntact(LoaderCall& call, uint32_t n) {
  SimEngineState& s = call.s;
  const std::vector<uint8_t>& f = call.f;
  uint32_t buffer = s.config.blockSizeAnswer ? *s.config.blockSizeAnswer : kSimDefaultWriteBuffer;
  if (s.config.linkMaxBlock != 0 && n > s.config.linkMaxBlock)
    HostFault(s, call.entry.name,
              Format("block of %u bytes on a link of at most %u", n, s.config.linkMaxBlock));
  if (n > buffer) {
    call.reply.push_back(kSimReplyOverrun);
    HostFault(s, call.entry.name, Format("block of %u bytes overruns the %u-byte buffer", n, buffer));
    return false;
  }
  uint8_t sum = 0;
  for (size_t i = 3; i + 1 < f.size(); ++i) sum = static_cast<uint8_t>(sum + f[i]);
  uint8_t expected = static_cast<uint8_t>(~sum);
  if (f.back() != expected) {
    call.reply.push_back(kSimReplyChecksum);
    HostFault(s, call.entry.name, Format("check byte 0x%02X, expected 0x%02X", f.back(), expected));
    return false;
  }
  return true;
}

void LoaderWrite(LoaderCall& call) {
  SimEngineState& s = call.s;
  const FlashModel& model = *s.model;
  const ChipRule& rule = *s.rule;
  uint32_t offset = Be16(call.f, 3);
  uint32_t n = Be16(call.f, 5);
  if (!WriteBlockIntact(call, n)) return;
  if (n == 0) return RefuseWrite(call, "empty write block");
  if (!s.selection.valid) return RefuseWrite(call, "write without a selected page");
  if (offset < rule.offsetBias)
    return RefuseWrite(
        call, Format("offset 0x%04X below this chip's first offset 0x%04X", offset, rule.offsetBias));
  uint32_t regionStart = s.selection.span.start;
  uint32_t regionSize = s.selection.span.size;
  if (rule.subPageSize != 0) {
    regionStart += s.selection.subPage * rule.subPageSize;
    regionSize = rule.subPageSize;
  }
  uint32_t relative = offset - rule.offsetBias;
  if (uint64_t{relative} + n > regionSize)
    return RefuseWrite(call, Format("block 0x%04X+%u crosses the end of the selected %s", offset, n,
                                    rule.subPageSize ? "sub-page" : "page"));
  uint32_t address = regionStart + relative;
  if (address < model.base || uint64_t{address} + n > uint64_t{model.base} + model.maxSize)
    return RefuseWrite(call, Format("block at 0x%08X outside the model's flash", address));
  uint32_t unerased = FlashProgram(s.flash, address, call.f.data() + 7, n);
  if (unerased != 0)
    HostFault(
        s, call.entry.name,
        Format("%u byte(s) at 0x%08X written without an erase since their last write", unerased, address));
  s.stats.bytesWritten += n;
  s.stats.controllerTimeUs += uint64_t{n} * kWriteUsPerByte;
  call.reply.push_back(kSimAck);
}

// Flush and verify both refuse while a block of this session did not land
// or flash holds writes over unerased bytes.
void LoaderFlushOrVerify(LoaderCall& call) {
  SimEngineState& s = call.s;
  const FlashModel& model = *s.model;
  if (!FamilyHasLoaderExtras(model.family))
    return Refuse(call, Format("family %u does not %s", model.family, std::string(call.entry.name).c_str()));
  if (s.refusedWrites != 0) {
    call.reply.push_back(kSimNak);
    return Note(call, Format("refused: %u block(s) of this session did not land in flash", s.refusedWrites));
  }
  uint32_t damaged = FlashDamagedChunks(s.flash);
  if (damaged != 0) {
    call.reply.push_back(kSimNak);
    return Note(call, Format("refused: %u flash chunk(s) hold writes over unerased bytes", damaged));
  }
  if (call.entry.cmd == Cmd::Verify) {
    uint64_t span = s.flash.anyWrite ? s.flash.highestEnd - model.base : 0;
    s.stats.controllerTimeUs += span / 1024 * kVerifyUsPerKb;
  }
  call.reply.push_back(kSimAck);
}

// Frames are not length-prefixed: the prefix names the command and the
// command fixes the length. No prefix is the beginning of another.
constexpr CommandEntry kCommands[] = {
    {Cmd::Probe, "probe", {0x1B, 0x7B, 0x21, 0x61}, 4, 0, true, 200, nullptr},
    {Cmd::StartLoader, "loader", {0x1B, 0x7B, 0x21, 0x65}, 4, 2, true, 20000, nullptr},
    {Cmd::Ping, "ping", {0xAA, 0x27}, 2, 0, false, 50, LoaderPing},
    {Cmd::Ident, "ident", {0xAA, 0x3F, 0x49}, 3, 0, false, 100, LoaderIdent},
    {Cmd::Name, "name", {0xAA, 0x3F, 0x43}, 3, 0, false, 100, LoaderName},
    {Cmd::BlockSize, "blocksize", {0xAA, 0x7C, 0x3F, 0x57}, 4, 0, false, 50, LoaderBlockSize},
    {Cmd::Baud, "baud", {0xAA, 0x49, 0x42, 0x00}, 4, 4, false, 1000, LoaderBaud},
    {Cmd::Reboot, "reboot", {0xAA, 0x23}, 2, 0, false, 1000, LoaderReboot},
    {Cmd::Page8, "page8", {0xAA, 0x7C, 0x50}, 3, 1, false, 50, LoaderSelectPage},
    {Cmd::Page16, "page16", {0xAA, 0x7C, 0x70}, 3, 2, false, 50, LoaderSelectPage},
    {Cmd::SubPage, "subpage", {0xAA, 0x7C, 0x73}, 3, 2, false, 50, LoaderSubPage},
    {Cmd::NandIndex, "nandindex", {0xAA, 0x7C, 0x4B}, 3, 0, false, 50000, LoaderNandIndex},
    {Cmd::Erase, "erase", {0xAA, 0x7C, 0x45}, 3, 2, false, 2000, LoaderErase},
    {Cmd::Write, "write", {0xAA, 0x7C, 0x57}, 3, 4, false, 200, LoaderWrite},
    {Cmd::Flush, "flush", {0xAA, 0x7C, 0x4C}, 3, 0, false, 20000, LoaderFlushOrVerify},
    {Cmd::Verify, "verify", {0xAA, 0x7C, 0x56}, 3, 0, false, 5000, LoaderFlushOrVerify},
};
static_assert(std::size(kCommands) == kCommandCount, "one row per Cmd");

void RunCommand(SimEngineState& s, const CommandEntry& entry, std::vector<uint8_t>& out) {
  size_t index = static_cast<size_t>(&entry - kCommands);
  uint32_t occurrence = ++s.occurrences[index];
  ++s.stats.frames;
  s.stats.controllerTimeUs += entry.busyUs;

  std::vector<uint8_t> reply;
  auto fault = std::find_if(s.config.faults.begin(), s.config.faults.end(), [&](const FaultPlan& f) {
    return f.command == entry.name && f.occurrence == occurrence;
  });
  bool execute = fault == s.config.faults.end() || fault->kind == FaultKind::WrongFirstByte;

  if (execute) {
    switch (s.mode) {
      case SimMode::Silent: break;
      case SimMode::Application:
        if (entry.cmd == Cmd::Probe) {
          reply.push_back(kSimAck);
        } else if (entry.cmd == Cmd::StartLoader) {
          reply.push_back(kSimAck);
          s.mode = SimMode::Loader;
          ResetSession(s);
          Log(s, SimRecordKind::Note, entry.name, {}, {}, "application starts the loader");
        }
        break;  // the application ignores loader frames
      case SimMode::Loader:
        if (entry.loader) {
          LoaderCall call{s, entry, s.frame, reply};
          entry.loader(call);
        }
        break;  // the loader does not speak the application's frames
    }
  }
  if (fault != s.config.faults.end()) {
    switch (fault->kind) {
      case FaultKind::Nak: reply = {kSimNak}; break;
      case FaultKind::ChecksumError: reply = {kSimReplyChecksum}; break;
      case FaultKind::Overrun: reply = {kSimReplyOverrun}; break;
      case FaultKind::Silence: reply.clear(); break;
      case FaultKind::WrongFirstByte:
        if (reply.empty()) reply.push_back(kSimReplyWrongFirstByte);
        else reply[0] = kSimReplyWrongFirstByte;
        break;
      case FaultKind::DropLink:
        reply.clear();
        s.events |= kSimEventDropLink;
        break;
    }
    Log(s, SimRecordKind::Fault, entry.name, {}, {},
        Format("injected %s at occurrence %u", std::string(FaultKindText(fault->kind)).c_str(), occurrence));
  }
  out.insert(out.end(), reply.begin(), reply.end());
  Log(s, SimRecordKind::Frame, entry.name, s.frame, std::move(reply), "");
}

void RunIfComplete(SimEngineState& s, const CommandEntry& match, std::vector<uint8_t>& out) {
  const std::vector<uint8_t>& f = s.frame;
  size_t length = size_t{match.prefixLength} + match.paramLength;
  if (match.cmd == Cmd::Write && f.size() >= length) length += Be16(f, 5) + 1;
  if (f.size() < length) return;
  RunCommand(s, match, out);
  s.frame.clear();
  s.decode = DecodeState::Idle;
}

// Past the longest prefix and the loader's tail, a frame's command is
// settled: a 2 KB write block need not be matched against every command at
// each of its bytes.
constexpr size_t kCommandSettled = 6;

// Called after each unescaped byte of a frame: runs the frame once it is
// complete, turns to discarding once no command can match.
void CheckFrame(SimEngineState& s, std::vector<uint8_t>& out) {
  const std::vector<uint8_t>& f = s.frame;
  if (f.size() > kCommandSettled && s.frameCommand != nullptr) {
    RunIfComplete(s, *s.frameCommand, out);
    return;
  }
  const CommandEntry* match = nullptr;
  bool candidate = false;
  for (const CommandEntry& entry : kCommands) {
    size_t common = std::min<size_t>(f.size(), entry.prefixLength);
    if (!std::equal(f.data(), f.data() + common, entry.prefix.begin())) continue;
    candidate = true;
    if (f.size() >= entry.prefixLength) match = &entry;
  }
  bool known = candidate;
  if (match && match->cmd == Cmd::StartLoader) {
    size_t tail = std::min(f.size(), size_t{6}) - 4;
    known = std::equal(f.data() + 4, f.data() + 4 + tail, kStartLoaderTail);
  }
  if (!known) {
    bool escape = f[0] == 0x1B;
    bool answered = !escape && s.mode == SimMode::Loader;
    std::vector<uint8_t> reply;
    if (answered) reply.push_back(kSimReplyUnknown);
    out.insert(out.end(), reply.begin(), reply.end());
    ++s.stats.hostFaults;
    Log(s, SimRecordKind::HostFault, "", f, reply,
        escape ? "unknown ESC sequence ignored" : "unknown loader command");
    s.frame.clear();
    s.decode = DecodeState::Discard;
    s.discarded = 0;
    return;
  }
  if (!match) return;
  s.frameCommand = match;
  RunIfComplete(s, *match, out);
}

void StartFrame(SimEngineState& s, uint8_t first) {
  FlushGarbage(s);
  if (s.decode == DecodeState::Discard && s.discarded != 0)
    Log(s, SimRecordKind::Note, "", {}, {},
        Format("%u byte(s) discarded after an unknown command", s.discarded));
  s.frame.assign(1, first);
  s.frameCommand = nullptr;
  s.pendingAA = false;
  s.decode = DecodeState::InFrame;
}

void Truncate(SimEngineState& s, const char* why) {
  ++s.stats.hostFaults;
  Log(s, SimRecordKind::Truncated, "", s.frame, {}, why);
  s.frame.clear();
  s.pendingAA = false;
  s.decode = DecodeState::Idle;
}

void FeedByte(SimEngineState& s, uint8_t b, std::vector<uint8_t>& out) {
  switch (s.decode) {
    case DecodeState::Idle:
      if (b == 0xAA || b == 0x1B) StartFrame(s, b);
      else s.garbage.push_back(b);
      return;
    case DecodeState::InFrame:
      if (s.pendingAA) {
        s.pendingAA = false;
        if (b == 0xAA) {
          s.frame.push_back(0xAA);
          CheckFrame(s, out);
          return;
        }
        // A lone AA: the host began a new frame before this one was whole.
        Truncate(s, "frame cut short by an unescaped 0xAA");
        StartFrame(s, 0xAA);
        FeedByte(s, b, out);
        return;
      }
      if (b == 0xAA) {
        s.pendingAA = true;
        return;
      }
      s.frame.push_back(b);
      CheckFrame(s, out);
      return;
    case DecodeState::Discard:
      if (s.pendingAA) {
        s.pendingAA = false;
        if (b == 0xAA) {
          s.discarded += 2;
          return;
        }
        StartFrame(s, 0xAA);
        FeedByte(s, b, out);
        return;
      }
      if (b == 0xAA) s.pendingAA = true;
      else if (b == 0x1B) StartFrame(s, b);
      else ++s.discarded;
      return;
  }
}

}  // namespace

SimEngine::SimEngine() : state(std::make_unique<SimEngineState>()) {}
SimEngine::~SimEngine() = default;

bool SimInit(SimEngine& engine, const SimConfig& config) {
  engine.state = std::make_unique<SimEngineState>();
  SimEngineState& s = *engine.state;
  s.config = config;
  s.rate = config.initialRate;
  s.model = FindFlashModel(config.model);
  if (!s.model) {
    s.configError = "unknown model " + config.model;
    return false;
  }
  s.rule = FindChipRule(s.model->chipCode);
  for (const FaultPlan& fault : config.faults) {
    auto names = SimCommandNames();
    if (std::find(names.begin(), names.end(), fault.command) == names.end()) {
      s.configError = "unknown command in fault: " + fault.command;
      s.model = nullptr;
      return false;
    }
  }
  switch (config.startMode) {
    case StartMode::Application: s.mode = SimMode::Application; break;
    case StartMode::Loader: s.mode = SimMode::Loader; break;
    case StartMode::Silent: s.mode = SimMode::Silent; break;
  }
  return true;
}

std::string SimConfigError(const SimEngine& engine) { return engine.state->configError; }

uint32_t SimFeed(SimEngine& engine, const uint8_t* bytes, size_t count, std::vector<uint8_t>& reply) {
  SimEngineState& s = *engine.state;
  if (!s.model) return 0;  // not configured: a dead controller
  s.events = 0;
  for (size_t i = 0; i < count; ++i) FeedByte(s, bytes[i], reply);
  FlushGarbage(s);
  return s.events;
}

void SimLineIdle(SimEngine& engine, uint32_t idleMs) {
  SimEngineState& s = *engine.state;
  if (idleMs < kTruncateIdleMs) return;
  if (s.decode == DecodeState::InFrame) Truncate(s, "frame incomplete when the line fell quiet");
  else if (s.decode == DecodeState::Discard) s.decode = DecodeState::Idle;
  s.pendingAA = false;
}

uint32_t SimCurrentRate(const SimEngine& engine) { return engine.state->rate; }
SimMode SimCurrentMode(const SimEngine& engine) { return engine.state->mode; }
uint32_t SimHostFaults(const SimEngine& engine) { return engine.state->stats.hostFaults; }

void SimNoteHostFault(SimEngine& engine, std::string_view text) {
  HostFault(*engine.state, "", std::string(text));
}

void SimNote(SimEngine& engine, std::string_view text) {
  Log(*engine.state, SimRecordKind::Note, "", {}, {}, std::string(text));
}

SimStats SimGetStats(const SimEngine& engine) { return engine.state->stats; }

std::vector<uint8_t> SimFlashImage(const SimEngine& engine) {
  const SimEngineState& s = *engine.state;
  std::vector<uint8_t> image;
  if (!s.model || !s.flash.anyWrite) return image;
  uint32_t size = s.flash.highestEnd - s.model->base;
  image.reserve(size);
  for (uint32_t i = 0; i < size; ++i) image.push_back(FlashRead(s.flash, s.model->base + i));
  return image;
}

uint32_t SimFlashBase(const SimEngine& engine) { return engine.state->model ? engine.state->model->base : 0; }

uint8_t SimFlashByte(const SimEngine& engine, uint32_t address) {
  return FlashRead(engine.state->flash, address);
}

std::vector<std::string_view> SimCommandNames() {
  std::vector<std::string_view> names;
  for (const CommandEntry& entry : kCommands) names.push_back(entry.name);
  return names;
}

bool SimParseFaultKind(std::string_view name, FaultKind& kind) {
  for (const FaultKindName& k : kFaultKinds) {
    if (k.name == name) {
      kind = k.kind;
      return true;
    }
  }
  return false;
}

std::vector<std::string_view> SimModelNames() { return FlashModelNames(); }

}  // namespace sim
