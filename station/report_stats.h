// The day report's arithmetic: UTC times, a median in bounded memory, the
// active minutes of a line, and the test that flags a port.
#pragma once

#include <bitset>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A count as a number to divide by: exact up to 2^53, far past any count here.
inline double Real(uint64_t n) { return static_cast<double>(n); }

// "2026-12-09T19:30:00.123Z" (the station's records) and the shorter forms a
// user types: "2026-12-09", "2026-12-09T19:30", "2026-12-09 19:30:00", with
// or without the fraction and the Z. Always UTC. False for anything else.
bool ParseUtcMs(const std::string& text, int64_t* ms);
// "2026-12-09T19:30:00Z"-style text of a time, cut to `chars` characters
// (10: the day, 16: the minute), then "Z" when kept whole.
std::string FormatUtc(int64_t ms, size_t chars = 19);

// Exact while it holds at most kExactLimit values; past that, a histogram of
// bins 0.1% wide (each value v in bin floor(ln v / ln 1.001)), so that the
// memory is bounded by the bins in use and the median is within 0.05%.
class DurationSample {
 public:
  static constexpr size_t kExactLimit = 10000;
  void Add(double seconds);
  uint64_t Count() const { return count_; }
  bool Exact() const { return count_ <= kExactLimit; }
  // The median (the mean of the middle two for an even count); 0 when empty.
  double Median() const;

 private:
  void ToBins();
  uint64_t count_ = 0;
  std::vector<double> exact_;
  std::map<int32_t, uint64_t> bins_;
};

// The minutes in which a group of units was running, a bit per minute and a
// bitmap per UTC day: bounded by the days covered, not by the units.
class MinuteSet {
 public:
  void AddSpan(int64_t fromMs, int64_t toMs);
  // Minutes running, plus every pause shorter than bridgeMinutes between two
  // runs (boards being changed); longer pauses are breaks and left out.
  uint64_t ActiveMinutes(int bridgeMinutes) const;

 private:
  std::map<int64_t, std::bitset<1440>> days_;
};

// One-sided Fisher exact test: the chance of at least `portFailed` failures
// among `portUnits` units drawn from a line whose `lineUnits` units hold
// `lineFailed` failures in all (the hypergeometric tail).
double FisherOneSided(uint64_t portFailed, uint64_t portUnits, uint64_t lineFailed, uint64_t lineUnits);
