#include "options.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

using sim::FaultKind;
using sim::FaultPlan;

bool ParseNumber(std::string_view text, uint32_t& value) {
  if (text.empty()) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

bool ParseFault(std::string_view text, FaultPlan& fault) {
  size_t first = text.find(':');
  size_t second = first == std::string_view::npos ? first : text.find(':', first + 1);
  if (second == std::string_view::npos) return false;
  fault.command = std::string(text.substr(0, first));
  std::string_view kind = text.substr(second + 1);
  auto names = sim::SimCommandNames();
  bool known = false;
  for (std::string_view name : names) known = known || name == fault.command;
  return known && ParseNumber(text.substr(first + 1, second - first - 1), fault.occurrence) &&
         fault.occurrence != 0 && sim::SimParseFaultKind(kind, fault.kind);
}

bool TextFits(std::string_view text, size_t limit) {
  return text.size() <= limit && text.find('\x06') == std::string_view::npos;
}

constexpr NamedValue<sim::StartMode> kStartModes[] = {
    {"application", sim::StartMode::Application},
    {"loader", sim::StartMode::Loader},
    {"silent", sim::StartMode::Silent},
};

// "unknown model (TXM9410 ...)": the engine's models in table order.
std::string UnknownModel() {
  std::string text = "unknown model (";
  for (std::string_view name : sim::SimModelNames()) text.append(name).append(" ");
  text.back() = ')';
  return text;
}

std::string SetModel(std::string_view value, FrontEndOptions& options) {
  std::vector<std::string_view> names = sim::SimModelNames();
  if (std::find(names.begin(), names.end(), value) == names.end()) return UnknownModel();
  options.config.model = std::string(value);
  return "";
}

std::string SetIdent(std::string_view value, FrontEndOptions& options) {
  if (!TextFits(value, 128)) return "at most 128 characters, no 0x06";
  options.config.identification = std::string(value);
  return "";
}

std::string SetName(std::string_view value, FrontEndOptions& options) {
  if (!TextFits(value, 20)) return "at most 20 characters, no 0x06";
  options.config.nameAnswer = std::string(value);
  return "";
}

std::string SetBlockSize(std::string_view value, FrontEndOptions& options) {
  uint32_t size = 0;
  if (value == "none") {
    options.config.blockSizeAnswer.reset();
  } else if (ParseNumber(value, size) && size <= 0xFFFF) {
    options.config.blockSizeAnswer = static_cast<uint16_t>(size);
  } else {
    return "a number from 0 to 65535, or none";
  }
  return "";
}

std::string SetStart(std::string_view value, FrontEndOptions& options) {
  if (!FindNamedValue<sim::StartMode>(kStartModes, value, options.config.startMode))
    return "application, loader or silent";
  return "";
}

std::string SetRate(std::string_view value, FrontEndOptions& options) {
  uint32_t rate = 0;
  if (!ParseNumber(value, rate) || rate == 0) return "a positive number of baud";
  options.config.initialRate = rate;
  return "";
}

std::string AddFault(std::string_view value, FrontEndOptions& options) {
  FaultPlan fault;
  if (!ParseFault(value, fault))
    return "COMMAND:K:KIND, KIND one of nak checksum overrun silence wrong-byte drop";
  options.config.faults.push_back(fault);
  return "";
}

std::string SetMaxBlock(std::string_view value, FrontEndOptions& options) {
  uint32_t size = 0;
  if (!ParseNumber(value, size) || size == 0 || size > 0xFFFF) return "a number from 1 to 65535";
  options.config.linkMaxBlock = size;
  return "";
}

std::string SetLogPath(std::string_view value, FrontEndOptions& options) {
  options.logPath = std::string(value);
  return "";
}

std::string SetFlashOutPath(std::string_view value, FrontEndOptions& options) {
  options.flashOutPath = std::string(value);
  return "";
}

constexpr FlagOption<FrontEndOptions> kCommonFlags[] = {
    {"--exit-after-reboot", &FrontEndOptions::exitAfterReboot},
    {"--quiet", &FrontEndOptions::quiet},
    {"--verbose", &FrontEndOptions::verbose},
};

constexpr ValuedOption<FrontEndOptions> kCommonValued[] = {
    {"--model", SetModel},          {"--ident", SetIdent}, {"--name", SetName},
    {"--block-size", SetBlockSize}, {"--start", SetStart}, {"--rate", SetRate},
    {"--fault", AddFault},          {"--log", SetLogPath}, {"--flash-out", SetFlashOutPath},
    {"--max-block", SetMaxBlock},
};

}  // namespace

OptionParse ParseCommonOption(int argc, char** argv, int& index, FrontEndOptions& options) {
  return ParseTableOption<FrontEndOptions>(argc, argv, index, kCommonFlags, kCommonValued, options);
}

void PrintCommonOptionsUsage() {
  std::string commands;
  for (std::string_view name : sim::SimCommandNames()) {
    commands += ' ';
    commands += name;
  }
  std::printf(
      "  --model NAME          controller model (default TXC5110)\n"
      "  --ident TEXT          identification text\n"
      "  --name TEXT           name-query answer, when it should differ from the model\n"
      "  --block-size N|none   block-size answer (default 2048); none: no answer\n"
      "  --start MODE          application (default), loader or silent\n"
      "  --rate N              controller line rate at start (default 115200)\n"
      "  --fault CMD:K:KIND    at the K-th CMD frame answer KIND: nak checksum overrun\n"
      "                        silence wrong-byte drop. CMD:%s\n"
      "  --max-block N         the link carries blocks of at most N bytes; longer ones\n"
      "                        are host faults\n"
      "  --log FILE            one JSON line per event\n"
      "  --flash-out FILE      write the flash contents from the model's base on exit\n"
      "  --exit-after-reboot   stop once the controller has rebooted\n"
      "  --verbose             print every frame\n"
      "  --quiet               print only the port line and the summary\n",
      commands.c_str());
}
