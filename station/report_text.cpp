// The day report as plain text for the terminal, drawn from its JSON figures.
#include <cstdarg>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "day_report.h"
#include "text_format.h"

using json = nlohmann::ordered_json;

namespace {

using Row = std::vector<std::string>;

std::string Percent(const json& share) {
  return share.is_null() ? "-" : Printf("%.1f%%", share.get<double>() * 100);
}
std::string Number(const json& v, const char* format) {
  return v.is_null() ? "-" : Printf(format, v.get<double>());
}
// Seconds to a tenth, to a hundredth below one (a simulator's units are quick).
std::string Seconds(const json& v, bool exact = true) {
  if (v.is_null()) return "-";
  return Printf(v.get<double>() < 1 ? "%s%.2f" : "%s%.1f", exact ? "" : "~", v.get<double>());
}
std::string Count(const json& v) { return std::to_string(v.get<uint64_t>()); }
std::string Time(const json& v) {
  if (v.is_null()) return "-";
  std::string t = v.get<std::string>().substr(0, 16);
  t[10] = ' ';
  return t;
}

// Columns aligned as `align` says ('l' left, anything else right; right past its end).
std::string Columns(const std::vector<Row>& rows, std::string_view align) {
  std::vector<size_t> width;
  for (const Row& r : rows)
    for (size_t c = 0; c < r.size(); ++c) {
      if (width.size() <= c) width.push_back(0);
      width[c] = std::max(width[c], r[c].size());
    }
  std::string out;
  for (const Row& r : rows) {
    std::string line;
    for (size_t c = 0; c < r.size(); ++c) {
      std::string pad(width[c] - r[c].size(), ' ');
      bool left = c < align.size() && align[c] == 'l';
      line += (c ? "  " : "") + (left ? r[c] + pad : pad + r[c]);
    }
    out += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
  }
  return out;
}

Row FigureCells(const json& f) {
  return {Count(f["units"]),
          Count(f["passed"]),
          Count(f["failed"]),
          Percent(f["first_pass_yield"]),
          Count(f["retries"]),
          Seconds(f["median_seconds"], f["median_exact"]),
          Seconds(f["slowest_seconds"]),
          Number(f["units_per_hour"], "%.1f")};
}

const Row kFigureHeads = {"units",   "passed",   "failed",    "first pass",
                          "retries", "median s", "slowest s", "units/h"};

std::string Headline(const json& r) {
  const json& line = r["line"];
  std::string verdict = r["verdict"];
  std::string goal = Printf("%g%%", r["goal_first_pass_yield"].get<double>() * 100);
  if (verdict == "no_units")
    return "No units in the logs" + std::string(r["since"].is_null() ? "" : " in that time") + ".\n";
  std::string out;
  for (const json& p : r["ports"])
    if (p["flagged"])
      out +=
          Printf("LOOK AT PORT %s: %s of %s failed, the rest of the line %s of %s (p = %.2g)\n",
                 p["port"].get<std::string>().c_str(), Count(p["failed"]).c_str(), Count(p["units"]).c_str(),
                 Count(p["rest_failed"]).c_str(), Count(p["rest_units"]).c_str(), p["p_value"].get<double>());
  std::string yield = Percent(line["first_pass_yield"]);
  std::string ports = r["flag_rule"]["ports_tested"].get<int>() > 0
                          ? "no single port stands out"
                          : "too few units per port to compare them";
  if (verdict == "below_goal")
    out += "First-pass yield " + yield + " is below the goal of " + goal + "; " + ports + ".\n";
  else if (verdict == "good")
    out += "Good day: first-pass yield " + yield + " (goal " + goal + "), " + ports + ".\n";
  return out;
}

std::string Summary(const json& r) {
  size_t torn = 0, outside = 0, files = r["inputs"].size();
  for (const json& in : r["inputs"])
    torn += in["torn_lines"].get<size_t>(), outside += in["outside"].get<size_t>();
  const json& line = r["line"];
  std::string out = Printf("pendrel-station report: %zu log%s, %s units", files, files == 1 ? "" : "s",
                           Count(line["units"]).c_str());
  if (!r["first"].is_null()) out += ", " + Time(r["first"]) + " to " + Time(r["last"]) + " UTC";
  if (torn) out += Printf(" (%zu torn line%s skipped)", torn, torn == 1 ? "" : "s");
  if (outside) out += Printf(" (%zu outside the times asked for)", outside);
  return out + "\n\n" + Headline(r);
}

std::string LineTable(const json& r) {
  std::vector<Row> rows = {Row{""}, Row{"line"}};
  rows[0].insert(rows[0].end(), kFigureHeads.begin(), kFigureHeads.end());
  Row cells = FigureCells(r["line"]);
  rows[1].insert(rows[1].end(), cells.begin(), cells.end());
  rows[0].push_back("boards");
  rows[1].push_back(Count(r["line"]["boards"]));
  return Columns(rows, "l");
}

std::string PortTable(const json& r) {
  std::vector<Row> rows = {Row{"port", ""}};
  rows[0].insert(rows[0].end(), kFigureHeads.begin(), kFigureHeads.end());
  for (const json& p : r["ports"]) {
    Row row = {p["port"], p["flagged"] ? "FLAGGED" : ""};
    Row cells = FigureCells(p);
    row.insert(row.end(), cells.begin(), cells.end());
    rows.push_back(row);
  }
  return Columns(rows, "ll");
}

std::string ImageTable(const json& r) {
  std::vector<Row> rows = {Row{"image", "sha256"}};
  rows[0].insert(rows[0].end(), kFigureHeads.begin(), kFigureHeads.end());
  for (const json& i : r["images"]) {
    Row row = {i["image"].get<std::string>().empty() ? "-" : i["image"].get<std::string>(),
               i["sha256"].get<std::string>().substr(0, 12)};
    Row cells = FigureCells(i);
    row.insert(row.end(), cells.begin(), cells.end());
    rows.push_back(row);
  }
  return Columns(rows, "ll");
}

std::string FailureTable(const json& r) {
  if (r["failures"].empty()) return "no failures\n";
  std::vector<Row> rows = {Row{"count", "share", "cumul.", "failure", "ports"}};
  for (const json& f : r["failures"]) {
    std::string ports;
    for (const json& p : f["ports"])
      ports += (ports.empty() ? "" : ", ") + p["port"].get<std::string>() + " " + Count(p["count"]);
    rows.push_back({Count(f["count"]), Percent(f["share"]), Percent(f["cumulative"]), f["failure"], ports});
  }
  return Columns(rows, "rrrll");
}

std::string SlowestTable(const json& r) {
  std::vector<Row> rows = {Row{"seconds", "started", "port", "board", "record"}};
  for (const json& s : r["slowest"])
    rows.push_back({Seconds(s["seconds"]), Time(s["started"]), s["port"],
                    s["board"].is_null() ? "-" : s["board"].get<std::string>(),
                    s["file"].get<std::string>() + ":" + Count(s["line"])});
  return Columns(rows, "rllll");
}

}  // namespace

std::string DayReportTable(const json& r) {
  std::string out = Summary(r);
  if (r["line"]["units"].get<uint64_t>() == 0) return out;
  // Appended, not added: g++ 12 warns (wrongly) of an overlapping copy in "\n" + text.
  out.append("\n").append(LineTable(r)).append("\n").append(PortTable(r)).append("\n").append(ImageTable(r));
  out.append("\nfailures, most first\n").append(FailureTable(r));
  if (!r["slowest"].empty()) out.append("\nslowest units that passed\n").append(SlowestTable(r));
  return out;
}
