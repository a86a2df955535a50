// pendrel-station report's arithmetic where the made-up logs of the
// end-to-end test cannot reach: the median past its exact range, the
// Fisher tail at a month's counts, times across start, the time forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "report_stats.h"

namespace {

TEST(StationReportStats, MedianIsExactThenWithinItsBins) {
  DurationSample s;
  for (double v : {5.0, 1.0, 3.0}) s.Add(v);
  EXPECT_EQ(s.Median(), 3.0);
  s.Add(10.0);
  EXPECT_EQ(s.Median(), 4.0);  // the middle two, halved
  // Up to 10000 values exact; past that in bins, within 0.05% of the exact median.
  DurationSample big;
  std::vector<double> all;
  for (int i = 0; i < 1000000; ++i) {
    all.push_back(20 + static_cast<double>(int64_t{i} * 7919 % 10007) * 0.004);
    big.Add(all.back());
    if (all.size() != 9999) continue;
    std::vector<double> first = all;
    std::nth_element(first.begin(), first.begin() + 4999, first.end());
    EXPECT_TRUE(big.Exact());
    EXPECT_EQ(big.Median(), first[4999]);
  }
  EXPECT_FALSE(big.Exact());
  std::nth_element(all.begin(), all.begin() + 500000, all.end());
  EXPECT_NEAR(big.Median(), all[500000], all[500000] * 0.0005);
}

TEST(StationReportStats, FisherTailAgainstExactSums) {
  // The exact sums of the hypergeometric tail, worked out in whole numbers.
  EXPECT_NEAR(FisherOneSided(3, 10, 5, 30), 0.19123405330301882, 1e-12);
  EXPECT_EQ(FisherOneSided(0, 10, 5, 30), 1.0);
  double month = FisherOneSided(30, 1000, 100, 100000);
  EXPECT_NEAR(month / 9.822445141922969e-36, 1.0, 1e-6);
}

TEST(StationReportStats, ActiveMinutesBridgeShortPausesOnly) {
  int64_t start = 0;
  ASSERT_TRUE(ParseUtcMs("2026-12-09T23:58:30Z", &start));
  MinuteSet m;
  m.AddSpan(start, start + 150000);             // 23:58:30 to 00:01:00: four minutes
  m.AddSpan(start + 540000, start + 545000);    // 00:07:30 after a 5-minute pause
  m.AddSpan(start + 1500000, start + 1500000);  // 00:23:30, after a break
  EXPECT_EQ(m.ActiveMinutes(10), 4u + 5u + 1u + 1u);
  EXPECT_EQ(m.ActiveMinutes(1), 4u + 1u + 1u);
}

TEST(StationReportStats, UtcTimesAsTheLogAndTheUserWriteThem) {
  int64_t ms = 0;
  ASSERT_TRUE(ParseUtcMs("2026-12-09T19:30:00.123Z", &ms));
  EXPECT_EQ(ms, 1796844600123);
  EXPECT_EQ(FormatUtc(ms), "2026-12-09T19:30:00Z");
  EXPECT_EQ(FormatUtc(ms, 13), "2026-12-09T19");
  for (const char* same : {"2026-12-09 19:30", "2026-12-09T19:30:00", "2026-12-09T19:30Z"}) {
    ASSERT_TRUE(ParseUtcMs(same, &ms)) << same;
    EXPECT_EQ(ms, 1796844600000) << same;
  }
  for (const char* bad :
       {"2026-02-30", "2026-12-09T24:00", "2026-12-9", "2026-12-09T19:30+01:00", "today", ""})
    EXPECT_FALSE(ParseUtcMs(bad, &ms)) << bad;
}

}  // namespace
