// pendrel-station: runs pendrel on many controllers at once, unattended.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "eth_list.h"
#include "day_report.h"
#include "options.h"
#include "pendrel_version.h"
#include "preflight.h"
#include "report.h"
#include "supervisor.h"
#include "system.h"

namespace {

constexpr const char* kVersion = PENDREL_VERSION;

int BadInput(const std::string& reason) {
  std::fprintf(stderr, "pendrel-station: %s\n", reason.c_str());
  return 2;
}

int PrintLinks() {
  std::vector<LinkInfo> links = ListLinks();
  for (const LinkInfo& l : links) std::printf("%s\n", ListLine(l, links).c_str());
  if (links.empty()) std::printf("no serial ports and no Talo USB controllers found\n");
  return 0;
}

// One discovery broadcast; 1 when it could not be sent or heard.
int PrintEthernetControllers() {
  std::vector<EthController> found;
  std::string error;
  if (!DiscoverEthControllers(kSystemEthSocket, &found, &error)) {
    std::fprintf(stderr, "pendrel-station: %s\n", error.c_str());
    return 1;
  }
  for (const EthController& c : found) std::printf("%s\n", EthListLine(c).c_str());
  if (found.empty()) std::printf("no Talo controller answered over Ethernet\n");
  return 0;
}

// --pendrel, then $PENDREL_STATION_PENDREL, then beside this program, then PATH.
std::string FindPendrel(const StationOptions& o) {
  if (!o.pendrelPath.empty()) return o.pendrelPath;
  if (const char* env = std::getenv("PENDREL_STATION_PENDREL"); env && *env) return env;
  std::string beside = OwnExecutableDirectory();
  if (!beside.empty()) {
    beside += "/" + PendrelProgramName();
    if (FileExists(beside)) return beside;
  }
  return FindOnPath(PendrelProgramName());
}

// One spelling per port or controller, so that one named twice is seen.
std::string UnitKey(const UnitName& u) {
  if (u.link == UnitLink::Serial) return CanonicalPortName(u.target);
  if (u.link == UnitLink::Usb) return "usb:" + CanonicalUsbTarget(u.target, UsbNamesIgnoreCase());
  return "eth:" + u.target;
}

// The error for a port or controller named twice, however it is spelt; empty when none is.
std::string NamedTwice(const std::vector<UnitName>& units, std::vector<std::string>* keys) {
  for (const UnitName& u : units) keys->push_back(UnitKey(u));
  std::string twice = FirstRepeated(*keys);
  if (!twice.empty()) {
    bool port = std::any_of(units.begin(), units.end(), [&](const UnitName& u) {
      return u.link == UnitLink::Serial && UnitKey(u) == twice;
    });
    return (port ? "port named twice: " : "controller named twice: ") + twice;
  }
  // Spelt differently, two names can still pick one controller: by its port and its serial number.
  auto usb = [](const UnitName& u) { return u.link == UnitLink::Usb; };
  if (std::count_if(units.begin(), units.end(), usb) < 2) return {};
  twice = ControllerNamedTwice(UsbControllers(), units, UsbNamesIgnoreCase());
  return twice.empty() ? twice : "controller named twice: " + twice;
}

// The units in the order given; --all-serial adds the ports not named
// already, -usb and -eth one unit each.
bool PlanUnits(const StationOptions& o, StationPlan* plan, std::string* error) {
  std::vector<UnitName> units = o.units;
  std::vector<std::string> keys;
  *error = NamedTwice(units, &keys);
  if (!error->empty()) return false;
  if (o.allSerial) {
    for (const std::string& p : SerialPortNames()) {
      std::string key = CanonicalPortName(p);
      if (std::find(keys.begin(), keys.end(), key) != keys.end()) continue;
      units.push_back({UnitLink::Serial, p, p});
      keys.push_back(key);
    }
  }
  if (o.usb) units.push_back(AnyController(UnitLink::Usb));
  if (o.eth) units.push_back(AnyController(UnitLink::Eth));
  for (const UnitName& n : units) {
    Unit u;
    u.name = n.name;
    u.link = n.link;
    u.target = n.target;
    u.phase = o.watch ? UnitPhase::Waiting : UnitPhase::Queued;
    plan->units.push_back(u);
  }
  if (plan->units.empty()) {
    *error = "--all-serial found no serial port";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  StationOptions o;
  std::string error;
  if (!ParseStationArgs(argc, argv, &o, &error)) return BadInput(error);
  switch (o.command) {
    case StationCommand::Help: PrintStationUsage(); return argc < 2 ? 2 : 0;
    case StationCommand::Version: std::printf("pendrel-station %s\n", kVersion); return 0;
    case StationCommand::List: return o.listEth ? PrintEthernetControllers() : PrintLinks();
    case StationCommand::Report: return RunDayReport(o);
    case StationCommand::Program: break;
  }

  // From the start: a Ctrl-C during the checks below still ends with the summary.
  InstallInterruptHandler();
  Reporter r;
  r.image = o.image;
  if (!FileExists(o.image)) return BadInput("image not found or unreadable: " + o.image);
  StationPlan plan;
  plan.pendrel = FindPendrel(o);
  if (plan.pendrel.empty() || !FileExists(plan.pendrel))
    return BadInput("cannot find " + PendrelProgramName() + " (beside this program, on PATH, or --pendrel)");
  if (!PlanUnits(o, &plan, &error)) return BadInput(error);
  // Before any unit starts: no controller is touched by a pendrel the station would misread.
  if (!CheckPendrelVersion(plan.pendrel, kVersion, &error)) return BadInput(error);
  StationImage image;
  if (!PrepareImage(o.image, &image, &error)) return BadInput("image not found or unreadable: " + error);
  r.sha256 = image.sha256;
  plan.image = image.copy;
  plan.imageBytes = image.dataLength;
  plan.timeoutSeconds = o.timeoutSeconds > 0
                            ? o.timeoutSeconds
                            : DerivedTimeoutSeconds(image.fileSize, o.commandRate, o.uploadRate);
  if (!o.logPath.empty()) {
    r.log = std::fopen(o.logPath.c_str(), "a");
    if (r.log == nullptr) {
      RemoveImageCopy();
      return BadInput("cannot open the log " + o.logPath + ": " + std::strerror(errno));
    }
  }
  if (o.json) r.mode = ViewMode::Json;
  else if (StdoutIsTerminal()) r.mode = ViewMode::Terminal;
  r.columns = TerminalColumns();
  int code = RunStation(o, plan, r);
  if (r.log) std::fclose(r.log);
  RemoveImageCopy();
  InterruptHandled();
  return code;
}
