#include "report_stats.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace {

constexpr int64_t kMsPerMinute = 60000;
constexpr int64_t kMsPerDay = 86400000;
const double kBinBase = std::log(1.001);

// `n` digits at text[*at], moving past them; false when they are not all there.
bool Digits(const std::string& text, size_t* at, int n, int* value) {
  *value = 0;
  for (int i = 0; i < n; ++i, ++*at) {
    if (*at >= text.size() || text[*at] < '0' || text[*at] > '9') return false;
    *value = *value * 10 + (text[*at] - '0');
  }
  return true;
}

bool Take(const std::string& text, size_t* at, char c) {
  if (*at >= text.size() || text[*at] != c) return false;
  ++*at;
  return true;
}

// The time of day after the date: "THH:MM[:SS[.fff]]", or nothing.
bool TimeOfDay(const std::string& text, size_t* at, int64_t* ms) {
  int h = 0, m = 0, s = 0;
  if (*at >= text.size() || text[*at] == 'Z') return true;
  if (text[*at] != 'T' && text[*at] != ' ') return false;
  ++*at;
  if (!Digits(text, at, 2, &h) || !Take(text, at, ':') || !Digits(text, at, 2, &m)) return false;
  if (Take(text, at, ':') && !Digits(text, at, 2, &s)) return false;
  if (h > 23 || m > 59 || s > 60) return false;
  *ms = ((h * 60 + m) * 60 + s) * 1000LL;
  if (!Take(text, at, '.')) return true;
  double scale = 100;
  size_t first = *at;
  for (; *at < text.size() && text[*at] >= '0' && text[*at] <= '9'; ++*at, scale /= 10)
    *ms += static_cast<int64_t>((text[*at] - '0') * scale);
  return *at > first;
}

int32_t BinOf(double seconds) {
  if (seconds < 0.001) return INT32_MIN;  // zero and the odd negative: one bin of their own
  return static_cast<int32_t>(std::floor(std::log(seconds) / kBinBase));
}

double BinValue(int32_t bin) { return bin == INT32_MIN ? 0 : std::exp((bin + 0.5) * kBinBase); }

double LogChoose(uint64_t n, uint64_t k) {
  return std::lgamma(Real(n) + 1) - std::lgamma(Real(k) + 1) - std::lgamma(Real(n - k) + 1);
}

}  // namespace

bool ParseUtcMs(const std::string& text, int64_t* ms) {
  using namespace std::chrono;
  size_t at = 0;
  int y = 0, mo = 0, d = 0;
  if (!Digits(text, &at, 4, &y) || !Take(text, &at, '-') || !Digits(text, &at, 2, &mo) ||
      !Take(text, &at, '-') || !Digits(text, &at, 2, &d))
    return false;
  year_month_day day{year{y}, month{static_cast<unsigned>(mo)}, std::chrono::day{static_cast<unsigned>(d)}};
  if (!day.ok()) return false;
  int64_t inDay = 0;
  if (!TimeOfDay(text, &at, &inDay)) return false;
  Take(text, &at, 'Z');
  if (at != text.size()) return false;
  *ms = sys_days(day).time_since_epoch().count() * kMsPerDay + inDay;
  return true;
}

std::string FormatUtc(int64_t ms, size_t chars) {
  using namespace std::chrono;
  int64_t days = ms >= 0 ? ms / kMsPerDay : (ms - kMsPerDay + 1) / kMsPerDay;
  int64_t inDay = ms - days * kMsPerDay;
  year_month_day ymd{sys_days{std::chrono::days{days}}};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                static_cast<int>(inDay / 3600000), static_cast<int>(inDay / 60000 % 60),
                static_cast<int>(inDay / 1000 % 60));
  std::string out(text);
  return chars >= out.size() ? out + "Z" : out.substr(0, chars);
}

void DurationSample::Add(double seconds) {
  ++count_;
  if (count_ <= kExactLimit) {
    exact_.push_back(seconds);
    return;
  }
  if (!exact_.empty()) ToBins();
  ++bins_[BinOf(seconds)];
}

void DurationSample::ToBins() {
  for (double v : exact_) ++bins_[BinOf(v)];
  std::vector<double>().swap(exact_);
}

double DurationSample::Median() const {
  if (count_ == 0) return 0;
  if (Exact()) {
    std::vector<double> v = exact_;
    auto mid = static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), v.begin() + mid, v.end());
    double upper = v[static_cast<size_t>(mid)];
    if (v.size() % 2 == 1) return upper;
    return (*std::max_element(v.begin(), v.begin() + mid) + upper) / 2;
  }
  uint64_t wanted = (count_ + 1) / 2, seen = 0;
  for (const auto& [bin, n] : bins_) {
    seen += n;
    if (seen >= wanted) return BinValue(bin);
  }
  return BinValue(bins_.rbegin()->first);
}

void MinuteSet::AddSpan(int64_t fromMs, int64_t toMs) {
  // A record's start lies at most a day before its end; anything else is a clock that jumped.
  fromMs = std::clamp(fromMs, toMs - kMsPerDay, toMs);
  int64_t first = fromMs >= 0 ? fromMs / kMsPerMinute : (fromMs - kMsPerMinute + 1) / kMsPerMinute;
  int64_t last = toMs >= 0 ? toMs / kMsPerMinute : (toMs - kMsPerMinute + 1) / kMsPerMinute;
  for (int64_t m = first; m <= last; ++m) {
    int64_t day = m >= 0 ? m / 1440 : (m - 1439) / 1440;
    days_[day].set(static_cast<size_t>(m - day * 1440));
  }
}

uint64_t MinuteSet::ActiveMinutes(int bridgeMinutes) const {
  uint64_t active = 0;
  int64_t previous = INT64_MIN;
  for (const auto& [day, bits] : days_) {
    for (size_t i = 0; i < bits.size(); ++i) {
      if (!bits[i]) continue;
      int64_t m = day * 1440 + static_cast<int64_t>(i);
      if (previous != INT64_MIN && m - previous - 1 < bridgeMinutes) active += m - previous - 1;
      ++active;
      previous = m;
    }
  }
  return active;
}

double FisherOneSided(uint64_t portFailed, uint64_t portUnits, uint64_t lineFailed, uint64_t lineUnits) {
  if (portUnits > lineUnits || lineFailed > lineUnits || portFailed > portUnits || portFailed > lineFailed)
    return 1;
  uint64_t most = std::min(portUnits, lineFailed);
  double denominator = LogChoose(lineUnits, portUnits);
  double p = 0;
  for (uint64_t k = portFailed; k <= most; ++k) {
    if (portUnits - k > lineUnits - lineFailed) continue;  // more passes than the line has
    double term =
        std::exp(LogChoose(lineFailed, k) + LogChoose(lineUnits - lineFailed, portUnits - k) - denominator);
    p += term;
    if (k > portFailed && term < p * 1e-17) break;  // the tail falls away: the rest is below rounding
  }
  return std::min(p, 1.0);
}
