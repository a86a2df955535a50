#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string_view>

namespace {

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

bool PositiveNumber(const std::string& text, double* out) {
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(v > 0)) return false;
  *out = v;
  return true;
}

}  // namespace

bool ParseStationArgs(int argc, const char* const* argv, StationOptions* o, std::string* error) {
  if (argc < 2) return true;  // usage
  std::string_view command = argv[1];
  if (command == "list") o->command = StationCommand::List;
  else if (command == "program") o->command = StationCommand::Program;
  else if (command == "--help" || command == "-h" || command == "help") return true;
  else if (command == "--version") {
    o->command = StationCommand::Version;
    return true;
  } else {
    *error = "unknown command '" + std::string(command) + "' (list, program)";
    return false;
  }
  bool haveImage = false;
  for (int i = 2; i < argc; ++i) {
    std::string_view a = argv[i];
    std::string value;
    if (o->command == StationCommand::List) {
      *error = "list takes no arguments: '" + std::string(a) + "'";
      return false;
    }
    if (a == "--json") {
      o->json = true;
    } else if (a == "--watch") {
      o->watch = true;
    } else if (a == "--all-serial") {
      o->allSerial = true;
    } else if (a == "-usb") {
      o->usb = true;
    } else if (a == "-eth") {
      o->eth = true;
    } else if (a == "-nocts" || (StartsWith(a, "-w") && a.size() > 2)) {
      o->passOn.emplace_back(a);
    } else if (StartsWith(a, "-b") && a.size() > 2 && a[1] == 'b') {
      o->passOn.emplace_back(a);
      o->commandRate = std::atol(argv[i] + 2);
    } else if (StartsWith(a, "-u") && a.size() > 2) {
      o->passOn.emplace_back(a);
      o->uploadRate = std::atol(argv[i] + 2);
    } else if (StartsWith(a, "-p") && a.size() > 2) {
      o->ports.emplace_back(a.substr(2));
    } else if (IsOption(a, "--jobs")) {
      double n = 0;
      if (!TakeValue(argc, argv, &i, "--jobs", &value, error)) return false;
      if (!PositiveNumber(value, &n) || n != static_cast<int>(n)) {
        *error = "--jobs needs a whole number above 0, not '" + value + "'";
        return false;
      }
      o->jobs = static_cast<int>(n);
    } else if (IsOption(a, "--timeout")) {
      if (!TakeValue(argc, argv, &i, "--timeout", &value, error)) return false;
      if (!PositiveNumber(value, &o->timeoutSeconds)) {
        *error = "--timeout needs seconds above 0, not '" + value + "'";
        return false;
      }
    } else if (IsOption(a, "--log")) {
      if (!TakeValue(argc, argv, &i, "--log", &o->logPath, error)) return false;
    } else if (IsOption(a, "--pendrel")) {
      if (!TakeValue(argc, argv, &i, "--pendrel", &o->pendrelPath, error)) return false;
    } else if (!a.empty() && a[0] == '-') {
      *error = "unknown option '" + std::string(a) + "'";
      return false;
    } else if (!haveImage) {
      o->image = a;
      haveImage = true;
    } else {
      o->ports.emplace_back(a);
    }
  }
  if (o->command == StationCommand::List) return true;
  if (!haveImage) {
    *error = "no image named (pendrel-station program IMAGE PORT...)";
    return false;
  }
  if (o->ports.empty() && !o->allSerial && !o->usb && !o->eth) {
    *error = "no port named (PORT..., --all-serial, -usb or -eth)";
    return false;
  }
  if (o->watch && (o->usb || o->eth || o->allSerial)) {
    *error = "--watch waits for named serial ports only";
    return false;
  }
  if (o->commandRate <= 0) {
    *error = "the command rate (-b) must be above 0";
    return false;
  }
  return true;
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
      "Usage:  pendrel-station list\n"
      "        pendrel-station program IMAGE PORT... [options]\n"
      "\n"
      "program writes IMAGE into the controller on every PORT at once, running\n"
      "pendrel once per port, and ends with a summary. Exit code 0 when every\n"
      "unit succeeded, 1 when any failed, 2 for bad input.\n"
      "\n"
      "  PORT, -pPORT     a serial port as pendrel takes it (/dev/ttyUSB0, COM3)\n"
      "  --all-serial     every serial port that list shows\n"
      "  -usb, -eth       one more unit: the first USB / Ethernet controller found\n"
      "  -bRATE -uRATE -nocts -wPASSWORD   passed on to pendrel\n"
      "  --jobs N         at most N units at a time\n"
      "  --json           one JSON object per line per event\n"
      "  --log FILE       append one JSON line per finished unit\n"
      "  --watch          program each port whenever a board appears on it, until Ctrl-C\n"
      "  --timeout SECS   a unit still running after SECS is ended and failed\n"
      "                   (default: from the image size and the rate, generously)\n"
      "  --pendrel PATH   the pendrel to run (default: beside this program, then PATH;\n"
      "                   also PENDREL_STATION_PENDREL)\n",
      stdout);
}
