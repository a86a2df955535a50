#include "options.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

using sim::FaultKind;
using sim::FaultSpec;

bool ParseNumber(std::string_view text, uint32_t& value) {
  if (text.empty()) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

bool ParseFault(std::string_view text, FaultSpec& fault) {
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

struct StartModeName {
  std::string_view name;
  sim::StartMode mode;
};
constexpr StartModeName kStartModes[] = {
    {"application", sim::StartMode::Application},
    {"loader", sim::StartMode::Loader},
    {"silent", sim::StartMode::Silent},
};

}  // namespace

OptionParse ParseCommonOption(int argc, char** argv, int& index, FrontEndOptions& options) {
  std::string_view option = argv[index];
  auto flag = [&](bool& target) {
    target = true;
    ++index;
    return OptionParse::Taken;
  };
  if (option == "--exit-after-reboot") return flag(options.exitAfterReboot);
  if (option == "--quiet") return flag(options.quiet);
  if (option == "--verbose") return flag(options.verbose);

  constexpr std::string_view kValued[] = {"--model", "--ident", "--name", "--block-size", "--start",
                                          "--rate", "--fault", "--log", "--flash-out",
                                          "--max-block"};
  bool valued = false;
  for (std::string_view name : kValued) valued = valued || name == option;
  if (!valued) return OptionParse::NotMine;
  if (index + 1 >= argc) {
    std::printf("talo-sim: %s needs a value\n", argv[index]);
    return OptionParse::Bad;
  }
  std::string_view value = argv[index + 1];
  auto bad = [&](const char* what) {
    std::printf("talo-sim: %s %s: %s\n", argv[index], argv[index + 1], what);
    return OptionParse::Bad;
  };
  sim::SimConfig& config = options.config;
  if (option == "--model") {
    bool known = false;
    for (std::string_view name : sim::SimModelNames()) known = known || name == value;
    if (!known) return bad("unknown model (TXM9410 TXC7390 TXC7380 TXC7350 TXC7320 TXC6260 TXC5110 TXC5130 TXC5150)");
    config.model = std::string(value);
  } else if (option == "--ident") {
    if (!TextFits(value, 128)) return bad("at most 128 characters, no 0x06");
    config.identification = std::string(value);
  } else if (option == "--name") {
    if (!TextFits(value, 20)) return bad("at most 20 characters, no 0x06");
    config.nameAnswer = std::string(value);
  } else if (option == "--block-size") {
    uint32_t size = 0;
    if (value == "none") {
      config.blockSizeAnswer.reset();
    } else if (ParseNumber(value, size) && size <= 0xFFFF) {
      config.blockSizeAnswer = static_cast<uint16_t>(size);
    } else {
      return bad("a number from 0 to 65535, or none");
    }
  } else if (option == "--start") {
    bool known = false;
    for (const StartModeName& m : kStartModes) {
      if (m.name == value) {
        config.startMode = m.mode;
        known = true;
      }
    }
    if (!known) return bad("application, loader or silent");
  } else if (option == "--rate") {
    uint32_t rate = 0;
    if (!ParseNumber(value, rate) || rate == 0) return bad("a positive number of baud");
    config.initialRate = rate;
  } else if (option == "--fault") {
    FaultSpec fault;
    if (!ParseFault(value, fault))
      return bad("COMMAND:K:KIND, KIND one of nak checksum overrun silence wrong-byte drop");
    config.faults.push_back(fault);
  } else if (option == "--max-block") {
    uint32_t size = 0;
    if (!ParseNumber(value, size) || size == 0 || size > 0xFFFF) return bad("a number from 1 to 65535");
    config.linkMaxBlock = size;
  } else if (option == "--log") {
    options.logPath = std::string(value);
  } else if (option == "--flash-out") {
    options.flashOutPath = std::string(value);
  }
  index += 2;
  return OptionParse::Taken;
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
