// pendrel-station: runs pendrel on many controllers at once, unattended.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

void PrintLinks() {
  std::vector<LinkInfo> links = ListLinks();
  for (const LinkInfo& l : links) {
    std::string line = l.kind + "  " + l.path;
    if (!l.usbId.empty()) line += "  " + l.usbId;
    if (!l.serial.empty()) line += "  serial " + l.serial;
    if (!l.detail.empty()) line += "  " + l.detail;
    std::printf("%s\n", line.c_str());
  }
  if (links.empty()) std::printf("no serial ports and no Talo USB controllers found\n");
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

// The units in the order given; --all-serial adds the ports not named already.
bool PlanUnits(const StationOptions& o, StationPlan* plan, std::string* error) {
  std::vector<std::string> ports = o.ports;
  std::vector<std::string> canonical;
  for (const std::string& p : ports) canonical.push_back(CanonicalPortName(p));
  std::string twice = FirstRepeated(canonical);
  if (!twice.empty()) {
    *error = "port named twice: " + twice;
    return false;
  }
  if (o.allSerial) {
    for (const std::string& p : SerialPortNames()) {
      std::string c = CanonicalPortName(p);
      bool named = false;
      for (const std::string& n : canonical) named = named || n == c;
      if (named) continue;
      ports.push_back(p);
      canonical.push_back(c);
    }
  }
  for (const std::string& p : ports) {
    Unit u;
    u.name = p;
    u.port = p;
    u.linkArgs = {"-p" + p};
    u.phase = o.watch ? UnitPhase::Waiting : UnitPhase::Queued;
    plan->units.push_back(u);
  }
  for (const char* kind : {"usb", "eth"}) {
    if ((kind[0] == 'u' && !o.usb) || (kind[0] == 'e' && !o.eth)) continue;
    Unit u;
    u.name = kind;
    u.link = kind;
    u.linkArgs = {std::string("-") + kind};
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
    case StationCommand::List: PrintLinks(); return 0;
    case StationCommand::Report: return RunDayReport(o);
    case StationCommand::Program: break;
  }

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
