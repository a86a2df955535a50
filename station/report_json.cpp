// The day report's figures as one JSON object (dist/pendrel-station-report.schema.json).
#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "day_report.h"

using json = nlohmann::ordered_json;

namespace {

constexpr int kReportVersion = 1;

double Round(double v, double places) { return std::round(v * places) / places; }

json Share(uint64_t part, uint64_t whole) {
  return whole == 0 ? json(nullptr) : json(Round(Real(part) / Real(whole), 1e4));
}

json FiguresJson(const Figures& f) {
  double hours = Real(f.active.ActiveMinutes(kBridgeMinutes)) / 60;
  json j = {{"units", f.units},
            {"passed", f.passed},
            {"failed", f.failed},
            {"boards", f.boards},
            {"first_pass", f.firstPassed},
            {"first_pass_yield", Share(f.firstPassed, f.boards)},
            {"retries", f.units - f.boards},
            {"median_seconds", nullptr},
            {"median_exact", f.seconds.Exact()},
            {"slowest_seconds", nullptr},
            {"active_hours", Round(hours, 1e3)},
            {"units_per_hour", hours > 0 ? json(Round(Real(f.units) / hours, 10)) : json(nullptr)}};
  if (f.passed > 0) {
    j["median_seconds"] = Round(f.seconds.Median(), 1e3);
    j["slowest_seconds"] = Round(f.slowest, 1e3);
  }
  return j;
}

// "/dev/ttyUSB2" before "/dev/ttyUSB10": runs of digits compare as numbers.
bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0, k = 0;
  while (i < a.size() && k < b.size()) {
    if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[k]))) {
      size_t ie = a.find_first_not_of("0123456789", i), ke = b.find_first_not_of("0123456789", k);
      std::string da = a.substr(i, ie - i), db = b.substr(k, ke - k);
      da.erase(0, std::min(da.find_first_not_of('0'), da.size()));
      db.erase(0, std::min(db.find_first_not_of('0'), db.size()));
      if (da.size() != db.size()) return da.size() < db.size();
      if (da != db) return da < db;
      i = ie == std::string::npos ? a.size() : ie;
      k = ke == std::string::npos ? b.size() : ke;
    } else {
      if (a[i] != b[k]) return a[i] < b[k];
      ++i, ++k;
    }
  }
  return a.size() - i < b.size() - k;
}

// Most first, then by text.
std::vector<std::pair<std::string, uint64_t>> Ranked(const std::map<std::string, uint64_t>& counts) {
  std::vector<std::pair<std::string, uint64_t>> v(counts.begin(), counts.end());
  std::stable_sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  return v;
}

json PortJson(const DayReport& d, const PortFigures& p) {
  json j = {{"port", p.port}, {"link", p.link}};
  j.update(FiguresJson(p.f));
  j["rest_units"] = d.line.units - p.f.units;
  j["rest_failed"] = d.line.failed - p.f.failed;
  j["tested"] = p.tested;
  j["p_value"] = p.tested ? json(p.pValue) : json(nullptr);
  j["flagged"] = p.flagged;
  j["failures"] = json::array();
  for (const auto& [text, n] : Ranked(p.failures)) j["failures"].push_back({{"failure", text}, {"count", n}});
  return j;
}

json PortsJson(const DayReport& d) {
  std::vector<const PortFigures*> ports;
  for (const PortFigures& p : d.ports) ports.push_back(&p);
  std::sort(ports.begin(), ports.end(), [](auto* a, auto* b) { return NaturalLess(a->port, b->port); });
  json out = json::array();
  for (const PortFigures* p : ports) out.push_back(PortJson(d, *p));
  return out;
}

json ImagesJson(const DayReport& d) {
  std::vector<const ImageFigures*> images;
  for (const ImageFigures& i : d.images) images.push_back(&i);
  std::stable_sort(images.begin(), images.end(), [](auto* a, auto* b) { return a->f.units > b->f.units; });
  json out = json::array();
  for (const ImageFigures* i : images) {
    json j = {{"sha256", i->sha256}, {"image", i->image}, {"bytes", i->bytes}};
    j.update(FiguresJson(i->f));
    out.push_back(j);
  }
  return out;
}

// The Pareto: each text with its share, the running total and the ports it came from.
json FailuresJson(const DayReport& d, const json& portsJson) {
  json out = json::array();
  uint64_t running = 0;
  for (const auto& [text, n] : Ranked(d.failures)) {
    running += n;
    json ports = json::array();
    for (const json& p : portsJson)
      for (const json& f : p["failures"])
        if (f["failure"] == text) ports.push_back({{"port", p["port"]}, {"count", f["count"]}});
    out.push_back({{"failure", text},
                   {"count", n},
                   {"share", Share(n, d.line.failed)},
                   {"cumulative", Share(running, d.line.failed)},
                   {"ports", ports}});
  }
  return out;
}

json HoursJson(const DayReport& d) {
  json out = json::array();
  for (const auto& [hour, n] : d.hours)
    out.push_back({{"hour", FormatUtc(hour * 3600000)}, {"passed", n[0]}, {"failed", n[1]}});
  return out;
}

json SlowestJson(const DayReport& d) {
  json out = json::array();
  for (const SlowUnit& s : d.slowest) {
    out.push_back({{"seconds", Round(s.seconds, 1e3)},
                   {"started", FormatUtc(s.startedMs)},
                   {"port", s.port},
                   {"board", s.board.empty() ? json(nullptr) : json(s.board)},
                   {"identification", s.identification.empty() ? json(nullptr) : json(s.identification)},
                   {"image", s.image},
                   {"file", d.inputs.empty() ? "" : d.inputs[s.place.file].path},
                   {"line", s.place.line}});
  }
  return out;
}

std::string Verdict(const DayReport& d, const json& line) {
  if (d.line.units == 0) return "no_units";
  for (const PortFigures& p : d.ports)
    if (p.flagged) return "look_at_port";
  if (line["first_pass_yield"].get<double>() * 100 < d.goalPercent) return "below_goal";
  return "good";
}

json InputsJson(const DayReport& d) {
  json out = json::array();
  for (const InputFile& f : d.inputs)
    out.push_back({{"file", f.path}, {"records", f.records}, {"torn_lines", f.torn}, {"outside", f.outside}});
  return out;
}

json Bound(int64_t ms, int64_t none) { return ms == none ? json(nullptr) : json(FormatUtc(ms)); }

}  // namespace

json DayReportJson(const DayReport& d) {
  json line = FiguresJson(d.line);
  json j = {{"version", kReportVersion},
            {"inputs", InputsJson(d)},
            {"since", Bound(d.sinceMs, INT64_MIN)},
            {"until", Bound(d.untilMs, INT64_MAX)},
            {"first", d.line.units ? json(FormatUtc(d.firstMs)) : json(nullptr)},
            {"last", d.line.units ? json(FormatUtc(d.lastMs)) : json(nullptr)},
            {"goal_first_pass_yield", Round(d.goalPercent / 100, 1e4)},
            {"verdict", Verdict(d, line)},
            {"line", line}};
  j["flag_rule"] = {{"test", "one-sided Fisher exact"},
                    {"alpha", kFlagAlpha},
                    {"min_units", kFlagMinUnits},
                    {"ports_tested", d.portsTested},
                    {"threshold", d.portsTested ? json(kFlagAlpha / d.portsTested) : json(nullptr)}};
  j["ports"] = PortsJson(d);
  j["images"] = ImagesJson(d);
  j["failures"] = FailuresJson(d, j["ports"]);
  j["hours"] = HoursJson(d);
  j["slowest"] = SlowestJson(d);
  return j;
}
