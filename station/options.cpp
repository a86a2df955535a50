#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string_view>

#include "report_stats.h"

namespace {

constexpr size_t kPasswordMax = 16;  // pendrel's own limit

bool StartsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

// "--name VALUE" or "--name=VALUE"; advances i past a separate value.
bool TakeValue(int argc, const char* const* argv, int* i, std::string_view name, std::string* value,
               std::string* error) {
  std::string_view a = argv[*i];
  if (a.size() > name.size() && a[name.size()] == '=') {
    *value = a.substr(name.size() + 1);
    return true;
  }
  if (*i + 1 >= argc) {
    *error = std::string(name) + " needs a value";
    return false;
  }
  *value = argv[++*i];
  return true;
}

bool IsOption(std::string_view a, std::string_view name) {
  return a == name || (StartsWith(a, name) && a.size() > name.size() && a[name.size()] == '=');
}

bool Number(const std::string& text, double* out) {
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(v >= 0) || v > 1e9) return false;
  *out = v;
  return true;
}

bool PositiveNumber(const std::string& text, double* out) {
  double v = 0;
  if (!Number(text, &v) || v == 0) return false;
  *out = v;
  return true;
}

// The commands an option belongs to.
enum : unsigned { kProgram = 1, kReport = 2 };

// An option without a value: it raises one flag.
struct FlagOption {
  std::string_view name;
  bool StationOptions::*flag;
  unsigned commands = kProgram;
};

// "--name VALUE" or "--name=VALUE": the setter returns "" or why the value is wrong.
struct ValuedOption {
  std::string_view name;
  std::string (*set)(const std::string& value, StationOptions& o);
  unsigned commands = kProgram;
};

// pendrel's own options, which carry their value in the same argument
// ("-b9600"). The rates are passed on as they stand; the password and the
// port are not (see StationOptions). The setter returns "" or why the value is wrong.
struct JoinedOption {
  std::string_view prefix;
  bool passOn;
  std::string (*take)(std::string_view value, StationOptions& o);
};

std::string SetJobs(const std::string& value, StationOptions& o) {
  double n = 0;
  if (!PositiveNumber(value, &n) || n != static_cast<int>(n))
    return "--jobs needs a whole number above 0, not '" + value + "'";
  o.jobs = static_cast<int>(n);
  return "";
}

std::string SetTimeout(const std::string& value, StationOptions& o) {
  if (!PositiveNumber(value, &o.timeoutSeconds))
    return "--timeout needs seconds above 0, not '" + value + "'";
  return "";
}

std::string SetSettle(const std::string& value, StationOptions& o) {
  if (!Number(value, &o.settleSeconds)) return "--settle needs seconds (0 or more), not '" + value + "'";
  o.settleGiven = true;
  return "";
}

std::string SetLog(const std::string& value, StationOptions& o) {
  o.logPath = value;
  return "";
}

std::string SetPendrel(const std::string& value, StationOptions& o) {
  o.pendrelPath = value;
  return "";
}

std::string SetHtml(const std::string& value, StationOptions& o) {
  o.htmlPath = value;
  return "";
}

std::string SetSince(const std::string& value, StationOptions& o) {
  if (ParseUtcMs(value, &o.sinceMs)) return "";
  return "--since needs a UTC time such as 2026-12-09 or 2026-12-09T06:00, not '" + value + "'";
}

std::string SetUntil(const std::string& value, StationOptions& o) {
  if (ParseUtcMs(value, &o.untilMs)) return "";
  return "--until needs a UTC time such as 2026-12-10 or 2026-12-09T18:00, not '" + value + "'";
}

std::string SetGoal(const std::string& value, StationOptions& o) {
  // "95" or "95%", as the page writes it.
  std::string number = !value.empty() && value.back() == '%' ? value.substr(0, value.size() - 1) : value;
  if (PositiveNumber(number, &o.goalPercent) && o.goalPercent <= 100) return "";
  return "--goal needs a first-pass yield in percent, above 0 and at most 100, not '" + value + "'";
}

constexpr FlagOption kFlags[] = {
    {"--json", &StationOptions::json, kProgram | kReport},
    {"--watch", &StationOptions::watch},
    {"--all-serial", &StationOptions::allSerial},
    {"-usb", &StationOptions::usb},
    {"-eth", &StationOptions::eth},
};

constexpr ValuedOption kValued[] = {
    {"--jobs", SetJobs},
    {"--timeout", SetTimeout},
    {"--settle", SetSettle},
    {"--log", SetLog},
    {"--pendrel", SetPendrel},
    {"--html", SetHtml, kReport},
    {"--since", SetSince, kReport},
    {"--until", SetUntil, kReport},
    {"--goal", SetGoal, kReport},
};

constexpr JoinedOption kJoined[] = {
    {"-b", true,
     [](std::string_view v, StationOptions& o) {
       o.commandRate = std::atol(std::string(v).c_str());
       return std::string();
     }},
    {"-u", true,
     [](std::string_view v, StationOptions& o) {
       o.uploadRate = std::atol(std::string(v).c_str());
       return std::string();
     }},
    {"-w", false,
     [](std::string_view v, StationOptions& o) {
       o.password = v;
       // pendrel would refuse it in every unit: better said once, before any starts.
       return v.size() > kPasswordMax ? std::string("the password (-w) has more than 16 characters")
                                      : std::string();
     }},
    {"-p", false,
     [](std::string_view v, StationOptions& o) {
       if (StartsWith(v, "usb:") || StartsWith(v, "eth:"))
         return "-p names a serial port: '" + std::string(v) + "'";
       o.units.push_back({UnitLink::Serial, std::string(v), std::string(v)});
       return std::string();
     }},
};

// One argument of the program or report command: true when it was an option
// (taken, or wrong with *error set), false when it is the image, a port or a log.
bool TakeOption(int argc, const char* const* argv, int* i, StationOptions* o, std::string* error) {
  std::string_view a = argv[*i];
  unsigned command = o->command == StationCommand::Report ? kReport : kProgram;
  // Appended, not added: g++ 12 warns (wrongly) of an overlapping copy in "'" + text.
  std::string notHere = std::string(1, '\'').append(a).append("' is not an option of ").append(argv[1]);
  for (const FlagOption& f : kFlags) {
    if (a != f.name) continue;
    if (f.commands & command) o->*f.flag = true;
    else *error = notHere;
    return true;
  }
  for (const ValuedOption& v : kValued) {
    if (!IsOption(a, v.name)) continue;
    std::string value;
    if (!(v.commands & command)) *error = notHere;
    else if (TakeValue(argc, argv, i, v.name, &value, error)) *error = v.set(value, *o);
    return true;
  }
  if (a == "-nocts") {
    if (command == kReport) *error = notHere;
    o->passOn.emplace_back(a);
    return true;
  }
  for (const JoinedOption& j : kJoined) {
    if (!StartsWith(a, j.prefix) || a.size() <= j.prefix.size()) continue;
    if (command == kReport) *error = notHere;
    else *error = j.take(a.substr(j.prefix.size()), *o);
    if (j.passOn) o->passOn.emplace_back(a);
    return true;
  }
  if (!a.empty() && a[0] == '-') {
    *error = "unknown option '" + std::string(a) + "'";
    return true;
  }
  return false;
}

bool Names(const StationOptions& o, UnitLink link) {
  for (const UnitName& u : o.units)
    if (u.link == link) return true;
  return false;
}

// --watch waits for a socket: a serial port or a USB port. A serial number
// or device path is one board, not a socket; Ethernet has no presence to read.
std::string UnwatchableUnit(const StationOptions& o) {
  if (o.usb || o.eth || o.allSerial)
    return "--watch waits for named ports only, not -usb, -eth or --all-serial";
  for (const UnitName& u : o.units) {
    bool socket = u.link == UnitLink::Serial ||
                  (u.link == UnitLink::Usb && ParseUsbDeviceName(u.target).kind == UsbNameKind::Location);
    if (!socket) return "--watch waits for serial ports and USB locations, not '" + u.name + "'";
  }
  return "";
}

// What a complete program command must have; "" when it has it.
std::string MissingFromProgram(const StationOptions& o, bool haveImage) {
  if (!haveImage) return "no image named (pendrel-station program IMAGE UNIT...)";
  if (o.units.empty() && !o.allSerial && !o.usb && !o.eth)
    return "no unit named (PORT, usb:NAME, eth:ADDRESS, --all-serial, -usb or -eth)";
  // pendrel -usb / -eth takes the first controller it finds, which may be a named unit's.
  if (o.usb && Names(o, UnitLink::Usb)) return "-usb beside usb: units could reach a named controller twice";
  if (o.eth && Names(o, UnitLink::Eth)) return "-eth beside eth: units could reach a named controller twice";
  if (o.settleGiven && !o.watch) return "--settle is for --watch";
  if (o.commandRate <= 0) return "the command rate (-b) must be above 0";
  return o.watch ? UnwatchableUnit(o) : "";
}

// `list [--eth]`.
bool ParseList(int argc, const char* const* argv, StationOptions* o, std::string* error) {
  for (int i = 2; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--eth") {
      o->listEth = true;
      continue;
    }
    *error = "list takes only --eth, not '" + std::string(argv[i]) + "'";
    return false;
  }
  return true;
}

std::string MissingFromReport(const StationOptions& o) {
  if (o.logs.empty()) return "no log named (pendrel-station report LOG...)";
  if (o.sinceMs >= o.untilMs) return "--since must come before --until";
  return "";
}

}  // namespace

bool ParseStationArgs(int argc, const char* const* argv, StationOptions* o, std::string* error) {
  error->clear();
  if (argc < 2) return true;  // usage
  std::string_view command = argv[1];
  if (command == "list") o->command = StationCommand::List;
  else if (command == "program") o->command = StationCommand::Program;
  else if (command == "report") o->command = StationCommand::Report;
  else if (command == "--help" || command == "-h" || command == "help") return true;
  else if (command == "--version") {
    o->command = StationCommand::Version;
    return true;
  } else {
    *error = "unknown command '" + std::string(command) + "' (list, program, report)";
    return false;
  }
  // "pendrel-station program --help" asks for the usage, as the bare --help does.
  for (int i = 2; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--help" || std::string_view(argv[i]) == "-h") {
      o->command = StationCommand::Help;
      return true;
    }
  }
  if (o->command == StationCommand::List) return ParseList(argc, argv, o, error);
  bool haveImage = false;
  for (int i = 2; i < argc; ++i) {
    if (TakeOption(argc, argv, &i, o, error)) {
      if (!error->empty()) return false;
    } else if (o->command == StationCommand::Report) {
      o->logs.emplace_back(argv[i]);
    } else if (!haveImage) {
      o->image = argv[i];
      haveImage = true;
    } else {
      UnitName u;
      if (!ParseUnitName(argv[i], &u, error)) return false;
      o->units.push_back(u);
    }
  }
  *error = o->command == StationCommand::Report ? MissingFromReport(*o) : MissingFromProgram(*o, haveImage);
  return error->empty();
}

std::string FirstRepeated(const std::vector<std::string>& names) {
  std::set<std::string> seen;
  for (const std::string& n : names)
    if (!seen.insert(n).second) return n;
  return {};
}

double DerivedTimeoutSeconds(unsigned long long imageBytes, long commandRate, long uploadRate) {
  // The image goes at the upload rate when there is one; the commands around it are short.
  long rate = uploadRate > 0 ? uploadRate : commandRate;
  if (rate <= 0) rate = 115200;
  double lineSeconds = static_cast<double>(imageBytes) * 11.0 / static_cast<double>(rate);
  return 30.0 + 3.0 * lineSeconds;
}

void PrintStationUsage() {
  std::fputs(
      "Usage:  pendrel-station list [--eth]\n"
      "        pendrel-station program IMAGE UNIT... [options]\n"
      "        pendrel-station report LOG... [--html FILE] [--json] [--since TIME] [--until TIME]\n"
      "                               [--goal PERCENT]\n"
      "\n"
      "program writes IMAGE into the controller of every UNIT at once, running\n"
      "pendrel once per unit, and ends with a summary. Exit code 0 when every\n"
      "unit succeeded, 1 when any failed, 2 for bad input. list --eth broadcasts\n"
      "one Ethernet discovery request and lists the controllers that answer.\n"
      "\n"
      "  PORT, -pPORT     a serial port as pendrel takes it (/dev/ttyUSB0, COM3)\n"
      "  usb:LOCATION     the USB controller plugged into that port (usb:1-1.4; list shows them)\n"
      "  usb:serial=TEXT  the USB controller with that serial number\n"
      "  usb:PATH         the USB controller with that device path\n"
      "  eth:ADDRESS      the Ethernet controller at that IPv4 address\n"
      "  --all-serial     every serial port on USB (Linux: the ones list shows)\n"
      "  -usb, -eth       one more unit: the first USB / Ethernet controller found\n"
      "  -bRATE -uRATE -nocts   passed on to pendrel\n"
      "  -wPASSWORD       the Ethernet password, to every pendrel (not on its command line)\n"
      "  --jobs N         at most N units at a time\n"
      "  --json           one JSON object per line per event\n"
      "  --log FILE       append one JSON line per finished unit\n"
      "  --watch          program each port or USB location whenever a board appears\n"
      "                   there, until Ctrl-C\n"
      "  --settle SECS    --watch: a board counts as there, or gone, after SECS\n"
      "                   (default 1.5)\n"
      "  --timeout SECS   a unit still running after SECS is ended and failed\n"
      "                   (default: from the image size and the rate, generously)\n"
      "  --pendrel PATH   the pendrel to run (default: beside this program, then PATH;\n"
      "                   also PENDREL_STATION_PENDREL)\n"
      "\n"
      "report reads the --log files and prints the line's figures: units, first-pass\n"
      "yield, retries, times, units per hour, failures, and a port whose yield is\n"
      "clearly below the rest. Exit code 0 for a good day, 1 when a port is flagged or\n"
      "the yield is below the goal, 2 for bad input.\n"
      "\n"
      "  --html FILE      also write one self-contained page\n"
      "  --json           the figures as one JSON object instead of the table\n"
      "  --since TIME, --until TIME   only units that ended in [since, until), UTC\n"
      "                   (2026-12-09, 2026-12-09T06:00)\n"
      "  --goal PERCENT   the first-pass yield of a good day (default 95)\n",
      stdout);
}
