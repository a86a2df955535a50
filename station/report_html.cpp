// The day report as one self-contained page: inline CSS and SVG, nothing
// fetched, no script. Drawn from the report's JSON figures.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "day_report.h"
#include "text_format.h"
#include "report_stats.h"

using json = nlohmann::ordered_json;

namespace {

constexpr size_t kParetoRows = 8;

std::string Esc(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Str(const json& v) { return v.is_string() ? Esc(v.get<std::string>()) : "-"; }
uint64_t U(const json& v) { return v.get<uint64_t>(); }
std::string N(const json& v) { return std::to_string(U(v)); }
std::string Pct(const json& v) { return v.is_null() ? "-" : Printf("%.1f%%", v.get<double>() * 100); }
std::string Sec(const json& v) {
  if (v.is_null()) return "-";
  return Printf(v.get<double>() < 1 ? "%.2f s" : "%.1f s", v.get<double>());  // a simulator's units are quick
}
std::string Num(const json& v) { return v.is_null() ? "-" : Printf("%.1f", v.get<double>()); }
std::string Goal(const json& r) { return Printf("%g%%", r["goal_first_pass_yield"].get<double>() * 100); }
std::string Minute(const json& v) {
  if (v.is_null()) return "-";
  std::string t = v.get<std::string>();
  return t.substr(0, 10) + " " + t.substr(11, 5);
}

const char* kStyle = R"(<style>
*{box-sizing:border-box}
body{margin:0;background:#eef0f3;color:#1d2330;font:15px/1.4 "DejaVu Sans","Segoe UI",Arial,sans-serif}
main{max-width:1120px;margin:0 auto;padding:20px 24px 32px}
h1{font-size:21px;margin:0}
h2{font-size:16px;margin:0 0 10px}
.sub{color:#5b6475;font-size:13px}
.verdict{border-radius:10px;padding:16px 22px;color:#fff;margin:14px 0}
.verdict b{display:block;font-size:32px;letter-spacing:.5px}
.verdict span{font-size:17px}
.good{background:#1e7e45}.look{background:#c4261d}.below{background:#c26a00}.none{background:#6b7280}
.tiles{display:grid;grid-template-columns:repeat(6,1fr);gap:10px}
.tile,section{background:#fff;border-radius:8px;box-shadow:0 1px 2px rgba(0,0,0,.1)}
.tile{padding:10px 14px}
.tile .v{font-size:26px;font-weight:700}
.tile .k{font-size:13px;color:#5b6475}
.tile.bad .v{color:#c4261d}.tile.met .v{color:#1e7e45}
section{padding:14px 18px;margin-top:14px}
.two{display:grid;grid-template-columns:1fr 1fr;gap:14px}
.two section{margin-top:14px}
.row{display:grid;grid-template-columns:240px 1fr 110px 70px 110px;gap:12px;align-items:center;padding:5px 8px;border-radius:6px}
.row>div:nth-child(n+3){text-align:right}
.row.head{color:#5b6475;font-size:12px;padding-bottom:0}
.row.flag{background:#fde9e7;box-shadow:inset 0 0 0 2px #c4261d;font-weight:700}
.row.few{color:#8a93a3}
.bar{position:relative;height:18px;background:#f0f1f4;border-radius:3px;display:flex;overflow:hidden}
.bar i{display:block;height:100%}
.bar b{position:absolute;top:-3px;bottom:-3px;border-left:2px dashed #1d2330}
.m{background:#e9a39d}.few .m{background:#d5d8de}
.p{background:#34a065}.f{background:#d8372c}.o{background:#8a93a3}
.badge{background:#c4261d;color:#fff;padding:1px 7px;border-radius:4px;font-size:12px;margin-left:6px}
.key{font-size:12px;color:#5b6475;margin-top:6px}
.key i{display:inline-block;width:10px;height:10px;margin:0 4px 0 10px;vertical-align:-1px}
.pareto{display:grid;grid-template-columns:1fr 170px;gap:2px 10px;align-items:center;font-size:13px}
.pareto .t{grid-column:1/3;margin-top:6px}
table{border-collapse:collapse;width:100%;font-size:13px}
th,td{padding:4px 8px;border-bottom:1px solid #e6e8ec;text-align:right;white-space:nowrap}
th{color:#5b6475;font-weight:normal}
.l{text-align:left}
footer{color:#5b6475;font-size:12px;margin-top:16px}
</style>)";

std::string Verdict(const json& r) {
  std::string v = r["verdict"], yield = Pct(r["line"]["first_pass_yield"]), goal = Goal(r);
  if (v == "no_units")
    return "<div class=\"verdict none\"><b>No units</b><span>Nothing in these logs for this "
           "time.</span></div>";
  if (v == "look_at_port") {
    std::string out;
    for (const json& p : r["ports"]) {
      if (!p["flagged"]) continue;
      out += Printf(
          "<div class=\"verdict look\"><b>Look at port %s</b><span>%s of %s units failed there; "
          "the rest of the line %s of %s. First-pass yield of the line %s.</span></div>",
          Str(p["port"]).c_str(), N(p["failed"]).c_str(), N(p["units"]).c_str(), N(p["rest_failed"]).c_str(),
          N(p["rest_units"]).c_str(), yield.c_str());
    }
    return out;
  }
  std::string ports = r["flag_rule"]["ports_tested"].get<int>() > 0
                          ? "No single port stands out"
                          : "Too few units per port to compare them";
  if (v == "below_goal")
    return "<div class=\"verdict below\"><b>First-pass yield " + yield + ", below the " + goal +
           " goal</b><span>" + ports + ": see the failures below.</span></div>";
  return "<div class=\"verdict good\"><b>Good day: first-pass yield " + yield + "</b><span>Goal " + goal +
         ". " + ports + ".</span></div>";
}

std::string Tile(const std::string& value, const std::string& key, const char* kind = "") {
  return "<div class=\"tile " + std::string(kind) + "\"><div class=\"v\">" + value +
         "</div><div class=\"k\">" + key + "</div></div>";
}

std::string Tiles(const json& r) {
  const json& l = r["line"];
  bool belowGoal = !l["first_pass_yield"].is_null() &&
                   l["first_pass_yield"].get<double>() < r["goal_first_pass_yield"].get<double>();
  return "<div class=\"tiles\">" +
         Tile(Pct(l["first_pass_yield"]),
              "first-pass yield, goal " + Goal(r) + " (" + N(l["boards"]) + " boards)",
              belowGoal ? "bad" : "met") +
         Tile(N(l["units"]), N(l["passed"]) + " passed, " + N(l["failed"]) + " failed") +
         Tile(N(l["retries"]), "retries") + Tile(Num(l["units_per_hour"]), "units per hour") +
         Tile(Sec(l["median_seconds"]), "median time (passed)") +
         Tile(Sec(l["slowest_seconds"]), "slowest (passed)") + "</div>";
}

double FailedShare(const json& f) { return U(f["units"]) ? Real(U(f["failed"])) / Real(U(f["units"])) : 0; }

// The port's share of failed units, on a scale where the worst port fills the bar, with the line's share
// marked.
std::string PortRow(const json& p, double scale, double lineShare) {
  bool flag = p["flagged"];
  std::string kind = flag ? " flag" : p["tested"] ? "" : " few";
  return "<div class=\"row" + kind + "\"><div>" + Str(p["port"]) +
         (flag ? "<span class=\"badge\">LOOK HERE</span>" : "") + "</div>" +
         Printf(
             "<div class=\"bar\"><i class=\"%s\" style=\"width:%.2f%%\"></i><b "
             "style=\"left:%.2f%%\"></b></div>",
             flag ? "f" : "m", FailedShare(p) * scale, lineShare * scale) +
         "<div>" + N(p["failed"]) + " of " + N(p["units"]) + "</div><div>" +
         Printf("%.1f%%", FailedShare(p) * 100) + "</div><div>" + Pct(p["first_pass_yield"]) + "</div></div>";
}

std::string Ports(const json& r) {
  // A full bar is the worst port, or 10% failed when every port does better: on a good
  // day the ordinary spread between ports stays small on the page, as it is.
  double lineShare = FailedShare(r["line"]), full = 0.1;
  for (const json& p : r["ports"]) full = std::max(full, FailedShare(p));
  double scale = 100 / full;
  std::string out =
      "<section><h2>Ports side by side: failed units</h2><div class=\"row head\"><div>port</div><div></div>"
      "<div>failed</div><div>share</div><div>first pass</div></div>";
  for (const json& p : r["ports"]) out += PortRow(p, scale, lineShare);
  return out +
         Printf(
             "<div class=\"key\">A full bar is %.1f%% of the port's units failed; the dashed line is the "
             "whole line's %.1f%%. Grey: too few units to judge (fewer than %llu on the port or on the rest "
             "of the line).</div></section>",
             full * 100, lineShare * 100, static_cast<unsigned long long>(U(r["flag_rule"]["min_units"])));
}

// 1, 2 or 5 times a power of ten: at most five grid lines up to `most`.
uint64_t GridStep(uint64_t most) {
  for (uint64_t power = 1;; power *= 10)
    for (uint64_t m : {1, 2, 5})
      if (most <= 5 * m * power) return m * power;
}

// Hour by hour for up to two days, day by day beyond.
std::vector<std::pair<std::string, std::array<uint64_t, 2>>> Buckets(const json& hours) {
  std::vector<std::pair<std::string, std::array<uint64_t, 2>>> out;
  if (hours.empty()) return out;
  int64_t first = 0, last = 0;
  ParseUtcMs(hours.front()["hour"], &first);
  ParseUtcMs(hours.back()["hour"], &last);
  bool byDay = last - first >= 48 * 3600000LL;
  int64_t step = byDay ? 86400000LL : 3600000LL;
  first -= first % step;
  for (int64_t t = first; t <= last; t += step) out.push_back({FormatUtc(t, byDay ? 10 : 13), {0, 0}});
  for (const json& h : hours) {
    int64_t t = 0;
    ParseUtcMs(h["hour"], &t);
    auto& b = out[static_cast<size_t>((t - first) / step)].second;
    b[0] += U(h["passed"]), b[1] += U(h["failed"]);
  }
  return out;
}

std::string HourChart(const json& r) {
  auto buckets = Buckets(r["hours"]);
  uint64_t most = 1;
  for (const auto& b : buckets) most = std::max(most, b.second[0] + b.second[1]);
  uint64_t step = GridStep(most);
  most = (most + step - 1) / step * step;
  const double w = 500, h = 170, top = 14, base = top + h;
  double slot = buckets.empty() ? w : w / Real(buckets.size());
  std::string svg =
      Printf("<svg viewBox=\"0 0 %.0f %.0f\" width=\"100%%\" role=\"img\" aria-label=\"units per hour\">",
             w + 40, base + 34);
  for (uint64_t v = 0; v <= most; v += step) {
    double y = base - h * Real(v) / Real(most);
    svg += Printf("<line x1=\"36\" y1=\"%.1f\" x2=\"%.0f\" y2=\"%.1f\" stroke=\"%s\"/>", y, w + 40, y,
                  v ? "#e3e6ea" : "#9aa1ad");
    svg +=
        Printf("<text x=\"30\" y=\"%.1f\" font-size=\"11\" text-anchor=\"end\" fill=\"#5b6475\">%llu</text>",
               y + 4, static_cast<unsigned long long>(v));
  }
  size_t every = std::max<size_t>(1, (buckets.size() + 11) / 12);
  for (size_t i = 0; i < buckets.size(); ++i) {
    double x = 40 + Real(i) * slot + slot * 0.12, bw = slot * 0.76;
    double hp = h * Real(buckets[i].second[0]) / Real(most), hf = h * Real(buckets[i].second[1]) / Real(most);
    svg += Printf("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"#34a065\"/>", x,
                  base - hp, bw, hp);
    svg += Printf("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"#d8372c\"/>", x,
                  base - hp - hf, bw, hf);
    const std::string& label = buckets[i].first;
    if (i % every == 0)
      svg += Printf(
          "<text x=\"%.1f\" y=\"%.0f\" font-size=\"11\" text-anchor=\"middle\" fill=\"#5b6475\">%s</text>",
          x + bw / 2, base + 14, label.size() > 10 ? label.substr(11, 2).c_str() : label.substr(5).c_str());
  }
  std::string unit = !buckets.empty() && buckets[0].first.size() == 10 ? "day" : "hour (UTC)";
  return "<section><h2>Units per " + unit + "</h2>" + svg +
         "</svg><div class=\"key\"><i class=\"p\"></i>passed<i class=\"f\"></i>failed</div></section>";
}

std::string Pareto(const json& r) {
  std::string out = "<section><h2>Failures, most first</h2>";
  const json& failures = r["failures"];
  if (failures.empty()) return out + "<p>No failures.</p></section>";
  uint64_t most = U(failures[0]["count"]), others = 0;
  out += "<div class=\"pareto\">";
  for (size_t i = 0; i < failures.size(); ++i) {
    const json& f = failures[i];
    if (i >= kParetoRows) {
      others += U(f["count"]);
      continue;
    }
    std::string ports;
    for (const json& p : f["ports"])
      ports += (ports.empty() ? "" : ", ") + Str(p["port"]) + " " + N(p["count"]);
    out += "<div class=\"t\">" + Str(f["failure"]) + "</div>" +
           Printf("<div class=\"bar\"><i class=\"f\" style=\"width:%.2f%%\"></i></div>",
                  100 * Real(U(f["count"])) / Real(most)) +
           "<div>" + N(f["count"]) + " (" + Pct(f["share"]) + ", total " + Pct(f["cumulative"]) + ")</div>" +
           "<div class=\"t sub\" style=\"margin-top:0\">" + ports + "</div>";
  }
  if (others)
    out += Printf("<div class=\"t\">%zu other texts: %llu failures</div>", failures.size() - kParetoRows,
                  static_cast<unsigned long long>(others));
  return out + "</div></section>";
}

std::string Slowest(const json& r) {
  std::string out =
      "<section><h2>Slowest units that passed</h2><table><tr><th>time</th><th class=\"l\">started (UTC)</th>"
      "<th class=\"l\">port</th><th class=\"l\">board</th><th class=\"l\">record</th></tr>";
  for (const json& s : r["slowest"])
    out += "<tr><td>" + Sec(s["seconds"]) + "</td><td class=\"l\">" + Minute(s["started"]) +
           "</td><td class=\"l\">" + Str(s["port"]) + "</td><td class=\"l\">" + Str(s["board"]) +
           "</td><td class=\"l\">" + Str(s["file"]) + ":" + N(s["line"]) + "</td></tr>";
  return out + "</table></section>";
}

std::string Images(const json& r) {
  std::string out =
      "<section><h2>Images</h2><table><tr><th class=\"l\">image</th><th "
      "class=\"l\">SHA-256</th><th>units</th>"
      "<th>failed</th><th>first "
      "pass</th><th>retries</th><th>median</th><th>slowest</th><th>units/h</th></tr>";
  for (const json& i : r["images"])
    out += "<tr><td class=\"l\">" + Str(i["image"]) + "</td><td class=\"l\">" +
           Esc(i["sha256"].get<std::string>().substr(0, 16)) + "&hellip;</td><td>" + N(i["units"]) +
           "</td><td>" + N(i["failed"]) + "</td><td>" + Pct(i["first_pass_yield"]) + "</td><td>" +
           N(i["retries"]) + "</td><td>" + Sec(i["median_seconds"]) + "</td><td>" +
           Sec(i["slowest_seconds"]) + "</td><td>" + Num(i["units_per_hour"]) + "</td></tr>";
  return out + "</table></section>";
}

std::string Header(const json& r) {
  std::string files;
  uint64_t torn = 0;
  for (const json& in : r["inputs"]) {
    files += (files.empty() ? "" : ", ") + Str(in["file"]);
    torn += U(in["torn_lines"]);
  }
  std::string span, first = Minute(r["first"]), last = Minute(r["last"]);
  if (!r["first"].is_null())
    span =
        ", " + first + " to " + (first.substr(0, 10) == last.substr(0, 10) ? last.substr(11) : last) + " UTC";
  return "<header><h1>Line report" + span + "</h1><div class=\"sub\">" + files + ": " +
         N(r["line"]["units"]) + " units" +
         (torn ? ", " + std::to_string(torn) + " torn line(s) skipped" : "") + "</div></header>";
}

std::string Footer(const json& r) {
  const json& rule = r["flag_rule"];
  return Printf(
      "<footer>A board is one controller USB serial number per image; a unit without one counts as a board "
      "of its own. "
      "First-pass yield: the boards whose first attempt passed. A port is flagged when it has at least %llu "
      "units "
      "and the one-sided Fisher exact test of its failures against the rest of the line gives p below %.2g "
      "divided by the number of ports tested (%d here). Active time leaves out pauses of %d minutes or "
      "more.</footer>",
      static_cast<unsigned long long>(U(rule["min_units"])), rule["alpha"].get<double>(),
      rule["ports_tested"].get<int>(), kBridgeMinutes);
}

}  // namespace

std::string DayReportHtml(const json& r) {
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Line report</title>";
  page += kStyle;
  page += "</head><body><main>" + Header(r) + Verdict(r);
  if (U(r["line"]["units"]) > 0)
    page += Tiles(r) + Ports(r) + "<div class=\"two\">" + HourChart(r) + Pareto(r) + "</div>" + Slowest(r) +
            Images(r);
  return page + Footer(r) + "</main></body></html>\n";
}
