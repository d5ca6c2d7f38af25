#include "talvoro/mosquitto/failure_report_throttle.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace {

using namespace std::chrono_literals;
using talvoro::mosquitto::FailureReportThrottle;

TEST(FailureReportThrottleTest, ReportsTheFirstFailureThenCountsAtDoublingIntervalsUpToAnHour) {
  FailureReportThrottle throttle;
  const FailureReportThrottle::Clock::time_point start{24h};
  std::vector<std::chrono::minutes> reportedAt;
  std::vector<size_t> covered;
  size_t attempts = 0;
  // An attempt every 30 s for two days.
  for (auto t = 0s; t < 48h; t += 30s) {
    ++attempts;
    if (const size_t n = throttle.failed(start + t); n > 0) {
      reportedAt.push_back(std::chrono::duration_cast<std::chrono::minutes>(t));
      covered.push_back(n);
    }
  }

  ASSERT_GE(reportedAt.size(), 9u);
  EXPECT_EQ(reportedAt[0], 0min);
  EXPECT_EQ(covered[0], 1u);
  EXPECT_EQ(covered[1], 2u);  // the attempts at 30 s and at 1 min
  const std::chrono::minutes gaps[] = {1min, 2min, 4min, 8min, 16min, 32min, 60min, 60min};
  for (size_t i = 0; i < std::size(gaps); ++i) {
    EXPECT_EQ(reportedAt[i + 1] - reportedAt[i], gaps[i]) << "report " << i + 1;
  }
  EXPECT_LE(reportedAt.size(), 7u + 48u);
  size_t reported = 0;
  for (const size_t n : covered) {
    reported += n;
  }
  EXPECT_LE(attempts - reported, 120u) << "more than an hour's attempts unreported";

  const auto outage = throttle.succeeded(start + 48h);
  ASSERT_TRUE(outage.has_value());
  EXPECT_EQ(outage->failedAttempts, attempts);
  EXPECT_EQ(outage->length, 48h);
  EXPECT_FALSE(throttle.succeeded(start + 49h).has_value());
  EXPECT_EQ(throttle.failed(start + 50h), 1u) << "a new outage is reported at once";
}

}  // namespace
