#include "supervisor.h"

#include <cstdio>

#include "system.h"

namespace {

constexpr double kPresencePollSeconds = 0.2;
constexpr double kStopGraceSeconds = 3.0;  // after SIGTERM, before SIGKILL
constexpr int kWaitSliceMs = 100;          // the terminal view's redraw and the watch poll need turns

struct Station {
  const StationOptions& o;
  StationPlan& plan;
  Reporter& r;
  std::vector<UnitResult> results;
  bool interrupted = false;
  double stopDeadline = 0;
  bool killedAfterGrace = false;
};

Unit* UnitOfChild(Station& s, int child) {
  for (Unit& u : s.plan.units)
    if (u.phase == UnitPhase::Running && u.child == child) return &u;
  return nullptr;
}

int RunningCount(const Station& s) {
  int n = 0;
  for (const Unit& u : s.plan.units) n += u.phase == UnitPhase::Running ? 1 : 0;
  return n;
}

void Finish(Station& s, Unit& u, int exitCode, bool crashed, const std::string& how) {
  EndPendrelOutput(u.out);
  u.last = ResultOfRun(u, s.plan.imageBytes, exitCode, crashed, how, MonotonicSeconds(), UtcTimestamp());
  u.hasResult = true;
  u.runs++;
  if (!u.last.ok) u.failures++;
  u.child = -1;
  u.phase = s.o.watch ? UnitPhase::Removing : UnitPhase::Finished;
  // The board was there when it started: it has to be gone for the settle
  // time before the socket is empty again (its reboot's blip is not enough).
  u.presence = {true, MonotonicSeconds(), true};
  s.results.push_back(u.last);
  if (!AppendLogRecord(s.r, u.last))
    std::fprintf(stderr, "pendrel-station: could not write the log record of %s\n", u.name.c_str());
  ReportEnd(s.r, u);
}

// The adapter or controller the unit goes through, read at each start: under
// --watch the next board may come on another adapter.
void LookUpDevice(Unit& u) {
  u.usbSerial.clear();
  u.usbLocation.clear();
  if (u.link == UnitLink::Serial) u.usbSerial = UsbSerialOfPort(u.target);
  if (u.link != UnitLink::Usb) return;
  std::vector<LinkInfo> controllers = UsbControllers();
  if (const LinkInfo* c = ControllerOfUnit(controllers, u.target, UsbNamesIgnoreCase())) {
    u.usbSerial = c->serial;
    u.usbLocation = c->location;
  }
}

void Start(Station& s, Unit& u) {
  std::vector<std::string> argv = {s.plan.pendrel, s.plan.image};
  std::vector<std::string> link = LinkArguments(u.link, u.target);
  argv.insert(argv.end(), link.begin(), link.end());
  argv.insert(argv.end(), s.o.passOn.begin(), s.o.passOn.end());
  u.out = PendrelOutput{};
  u.killedFor.clear();
  u.startedAt = MonotonicSeconds();
  u.writeStartedAt = 0;
  u.lastProgressReport = -1;
  u.startedUtc = UtcTimestamp();
  LookUpDevice(u);
  std::string error;
  u.child = StartChild(argv, ChildEnvironmentEdits(u.link, u.target, s.o.password), &error);
  u.phase = UnitPhase::Running;
  ReportStart(s.r, u);
  if (u.child < 0) {
    u.killedFor = "cannot start " + s.plan.pendrel + ": " + error;
    Finish(s, u, -1, false, "");
  }
}

void OnOutput(Station& s, Unit& u, const std::string& data) {
  OutputNews news = FeedPendrelOutput(u.out, data);
  double now = MonotonicSeconds();
  if (news.identified) ReportIdentification(s.r, u);
  if (news.writeStarted) u.writeStartedAt = now;
  if (news.progressed && (u.lastProgressReport < 0 || now - u.lastProgressReport >= 1.0)) {
    u.lastProgressReport = now;
    ReportProgress(s.r, u);
  }
}

// Each waiting or emptying socket's presence; a change counts once it has
// stood for the settle time.
void CheckPresence(Station& s, double now) {
  std::vector<LinkInfo> controllers;
  bool controllersRead = false;
  for (Unit& u : s.plan.units) {
    if (u.phase != UnitPhase::Waiting && u.phase != UnitPhase::Removing) continue;
    bool present = false;
    if (u.link == UnitLink::Usb) {
      if (!controllersRead) controllers = UsbControllers();
      controllersRead = true;
      present = !MatchUsb(controllers, u.target, UsbNamesIgnoreCase()).empty();
    } else {
      present = PortPresent(u.target);
    }
    if (!FeedPresence(u.presence, present, now, s.o.settleSeconds)) continue;
    ReportPresence(s.r, u, u.presence.settled);
    u.phase = u.presence.settled ? UnitPhase::Queued : UnitPhase::Waiting;
  }
}

void EndHungRuns(Station& s, double now) {
  for (Unit& u : s.plan.units) {
    if (u.phase != UnitPhase::Running || !u.killedFor.empty()) continue;
    if (now - u.startedAt <= s.plan.timeoutSeconds) continue;
    char text[96];
    std::snprintf(text, sizeof text, "no result after %.0f s, pendrel ended by the station",
                  s.plan.timeoutSeconds);
    u.killedFor = text;
    KillChild(u.child);
  }
}

void OnInterrupt(Station& s, double now) {
  if (!s.interrupted) {
    s.interrupted = true;
    s.stopDeadline = now + kStopGraceSeconds;
    for (Unit& u : s.plan.units) {
      if (u.phase != UnitPhase::Running) continue;
      u.killedFor = "interrupted";
      StopChild(u.child);
    }
  } else if (!s.killedAfterGrace && now > s.stopDeadline) {
    s.killedAfterGrace = true;
    for (Unit& u : s.plan.units)
      if (u.phase == UnitPhase::Running) KillChild(u.child);
  }
}

bool AnyQueued(const Station& s) {
  for (const Unit& u : s.plan.units)
    if (u.phase == UnitPhase::Queued) return true;
  return false;
}

// Units a Ctrl-C kept from starting were not programmed: they count as failed.
void RecordUnstarted(Station& s) {
  for (Unit& u : s.plan.units) {
    if (u.phase != UnitPhase::Queued) continue;
    u.last = UnitResult{};
    u.last.port = u.name;
    u.last.link = LinkWord(u.link);
    u.last.failure = "interrupted before it started";
    u.hasResult = true;
    u.phase = UnitPhase::Finished;
    s.results.push_back(u.last);
  }
}

}  // namespace

int RunStation(const StationOptions& o, StationPlan& plan, Reporter& r) {
  Station s{o, plan, r, {}};
  ListenForSessionEnd();
  int jobs = o.jobs > 0 ? o.jobs : static_cast<int>(plan.units.size());
  double nextPresenceCheck = 0;
  std::vector<ChildEvent> events;
  for (;;) {
    double now = MonotonicSeconds();
    if (Interrupted()) OnInterrupt(s, now);
    if (o.watch && !s.interrupted && now >= nextPresenceCheck) {
      CheckPresence(s, now);
      nextPresenceCheck = now + kPresencePollSeconds;
    }
    if (!s.interrupted) {
      for (Unit& u : plan.units) {
        if (RunningCount(s) >= jobs) break;
        if (u.phase == UnitPhase::Queued) Start(s, u);
      }
    }
    EndHungRuns(s, now);
    if (RunningCount(s) == 0 && (s.interrupted || (!o.watch && !AnyQueued(s)))) break;
    DrawUnits(r, plan.units, now, false);
    events.clear();
    WaitForChildren(kWaitSliceMs, &events);
    for (const ChildEvent& e : events) {
      Unit* u = UnitOfChild(s, e.child);
      if (u == nullptr) continue;
      if (e.kind == ChildEvent::Kind::Output) OnOutput(s, *u, e.data);
      else Finish(s, *u, e.exitCode, e.crashed, e.how);
    }
  }
  if (!o.watch) RecordUnstarted(s);
  DrawUnits(r, plan.units, MonotonicSeconds(), true);
  ReportSummary(r, s.results, s.interrupted);
  for (const UnitResult& res : s.results)
    if (!res.ok) return 1;
  return 0;
}
