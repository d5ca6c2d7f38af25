#include "talvoro/mosquitto/link_check.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using talvoro::mosquitto::LinkCheck;
using Due = LinkCheck::Due;

const LinkCheck::Clock::time_point t0{std::chrono::hours(1)};

TEST(LinkCheckTest, AQuietLinkIsProbedAndTakenForDeadOnlyWhenNothingAnswers) {
  LinkCheck check;
  check.connected(t0);
  EXPECT_EQ(check.due(t0 + 9s), Due::Nothing);
  EXPECT_EQ(check.nextCheck(), t0 + 10s);
  ASSERT_EQ(check.due(t0 + 10s), Due::Probe);
  check.probed(t0 + 10s);
  check.heard(t0 + 10s + 5ms);  // the answer
  EXPECT_EQ(check.due(t0 + 19s), Due::Nothing);
  ASSERT_EQ(check.due(t0 + 20s), Due::Probe);
  check.probed(t0 + 20s);
  // Unanswered: another probe after 10 s, dead after 20 s.
  EXPECT_EQ(check.due(t0 + 30s), Due::Probe);
  check.probed(t0 + 30s);
  EXPECT_EQ(check.due(t0 + 39s), Due::Nothing);
  EXPECT_EQ(check.nextCheck(), t0 + 40s);
  EXPECT_EQ(check.due(t0 + 40s), Due::Dead);
  EXPECT_EQ(check.silence(t0 + 40s), 30s - 5ms);
}

// A consumer that makes no room lets a message in every few seconds: the
// broker is heard, and the probes keep something going out to it.
TEST(LinkCheckTest, ABrokerHeardNowAndThenIsNeverDeadAndStillHearsFromUs) {
  LinkCheck check;
  check.connected(t0);
  for (auto t = t0 + 5s; t < t0 + 120s; t += 5s) {
    check.heard(t);
    const Due due = check.due(t);
    EXPECT_NE(due, Due::Dead);
    if (due == Due::Probe) {
      check.probed(t);
    }
    EXPECT_LT(check.nextCheck(), t + 11s);
  }
}

// Publications go out all the time, but nothing comes back.
TEST(LinkCheckTest, SendingAloneProvesNothing) {
  LinkCheck check;
  check.connected(t0);
  for (auto t = t0; t <= t0 + 9s; t += 1s) {
    check.sent(t);
  }
  ASSERT_EQ(check.due(t0 + 10s), Due::Probe);
  check.probed(t0 + 10s);
  for (auto t = t0 + 11s; t < t0 + 30s; t += 1s) {
    check.sent(t);
    EXPECT_EQ(check.due(t), Due::Nothing);
  }
  EXPECT_EQ(check.due(t0 + 30s), Due::Dead);
}

}  // namespace
