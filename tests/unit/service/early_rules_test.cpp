// Rules that come before any IO structure: they wait in order, and what
// waits is bounded.

#include <gtest/gtest.h>

#include "early_rules.h"

namespace talvoro {
namespace {

mosquitto::Message rule(const std::string& name, std::size_t bytes) {
  return {"/tl/bridge/rules/add/" + name, std::vector<char>(bytes, 'x')};
}

TEST(EarlyRules, WaitInOrderUpToTheirBoundAndTheRestFailsAtOnce) {
  EarlyRules early(*P7::getTrace());
  mosquitto::Message first = rule("first", EarlyRules::kMaxBytes / 2);
  mosquitto::Message second = rule("second", EarlyRules::kMaxBytes / 2);
  mosquitto::Message third = rule("third", 1);
  ASSERT_TRUE(early.hold(first));
  ASSERT_TRUE(early.hold(second));
  EXPECT_FALSE(early.hold(third));
  EXPECT_EQ(third.payload.size(), 1u);  // not taken: it is reported instead

  const RuleReport report = unheldRule(third);
  EXPECT_EQ(report.name, "third");
  EXPECT_EQ(report.outcome.kind, RuleOutcome::Kind::Failed);
  EXPECT_NE(report.outcome.reason.find("no IO structure yet"), std::string::npos);

  EXPECT_EQ(early.take()->topic, "/tl/bridge/rules/add/first");
  EXPECT_TRUE(early.hold(third));  // room again
  EXPECT_EQ(early.take()->topic, "/tl/bridge/rules/add/second");
  EXPECT_EQ(early.take()->topic, "/tl/bridge/rules/add/third");
  EXPECT_FALSE(early.take());
}

}  // namespace
}  // namespace talvoro
