// The rule names both ends accept: exactly those that make one topic level a
// broker passes on and a visible file name for every hash.

#include <gtest/gtest.h>

#include <string>

#include "talvoro/rule_name.h"
#include "talvoro/rule_result.h"

namespace talvoro::protocol {
namespace {

TEST(RuleName, NamesThatCannotAlwaysMakeATopicLevelAndAFileNameAreRefused) {
  for (const std::string& bad :
       {std::string(), std::string("a\0b", 3), std::string("."), std::string(".."),
        std::string(".a"), std::string(228, 'n'), std::string("a/b"), std::string("a+"),
        std::string("#"), std::string("caf\xC3"), std::string("\xED\xA0\x80"),
        std::string("\xC0\xAF"), std::string("a\tb"), std::string("a\x7F"),
        std::string("\xC2\x85"), std::string("\xEF\xBF\xBE")}) {
    EXPECT_THROW(checkRuleName(bad), BadRuleName) << ::testing::PrintToString(bad);
  }
  for (const std::string& good :
       {std::string("a.b."), std::string(227, 'n'), std::string("kitchen light"),
        std::string("K\xC3\xBC" "che \xF0\x9F\x92\xA1"), std::string("a(b)[c]*")}) {
    EXPECT_NO_THROW(checkRuleName(good)) << good;
  }
  try {
    checkRuleName(std::string(228, 'n'));
  } catch (const BadRuleName& error) {
    EXPECT_STREQ(error.what(),
                 "the rule name is 228 bytes long; its file name would exceed 255 bytes "
                 "(names of at most 227 bytes fit)");
  }
}

TEST(RuleName, TopicsAndNamesGoBothWays) {
  EXPECT_EQ(ruleTopic("hall"), "/tl/bridge/rules/add/hall");
  EXPECT_EQ(ruleNameOfTopic("/tl/bridge/rules/add/hall"), "hall");
  EXPECT_EQ(ruleNameOfTopic("/tl/bridge/rules/add/"), "");
  EXPECT_EQ(ruleNameOfTopic("/tl/bridge/other/hall"), "");
  EXPECT_EQ(statusTopic("hall"), "/tl/bridge/rules/status/hall");
  EXPECT_EQ(resultTopic("hall"), "/tl/bridge/rules/result/hall");
}

TEST(RuleResult, OutcomeNamesAndWhichOfThemAreSuccesses) {
  for (const Outcome outcome : {Outcome::Installed, Outcome::Cleared, Outcome::Unchanged,
                                Outcome::Outdated, Outcome::Rejected, Outcome::Failed,
                                Outcome::Accepted}) {
    EXPECT_EQ(outcomeNamed(outcomeName(outcome)), outcome);
  }
  EXPECT_EQ(outcomeNamed("no result"), std::nullopt);
  EXPECT_TRUE(isSuccess("installed") && isSuccess("cleared") && isSuccess("unchanged") &&
              isSuccess("accepted"));
  EXPECT_FALSE(isSuccess("outdated") || isSuccess("rejected") || isSuccess("failed") ||
               isSuccess("no result"));
}

}  // namespace
}  // namespace talvoro::protocol
