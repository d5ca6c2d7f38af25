// A batch of rule messages on a temporary rule directory: what each one comes
// to, and what is published for it.

#include "rule_batch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service_test_support.h"
#include "testsupport/temp_dir.h"

namespace talvoro {
namespace {

using Kind = RuleOutcome::Kind;

class RuleBatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TemplateCacheCleanupGuard guard{false};
    structure_ = parseIoStructure<IoInfo>(
        nlohmann::json::parse(R"({"elements": {"lamp1": {"device": "relay_7"}}})"), guard,
        false);
  }

  std::vector<RuleReport> install(const std::vector<std::pair<std::string, std::string>>& rules) {
    std::vector<RuleMessage> batch;
    for (const auto& [name, text] : rules) {
      batch.push_back({name, std::vector<char>(text.begin(), text.end())});
    }
    return installer_.install(std::move(batch), structure_);
  }

  std::vector<Kind> outcomes(const std::vector<std::pair<std::string, std::string>>& rules) {
    std::vector<Kind> kinds;
    for (const RuleReport& report : install(rules)) {
      kinds.push_back(report.outcome.kind);
    }
    return kinds;
  }

  servicetest::TraceCapture trace_;
  testsupport::TempDir dir_;
  RuleDirectory directory_{dir_.path().string() + "/", *P7::getTrace()};
  RuleInstaller installer_{directory_, *P7::getTrace()};
  IoStructure structure_;
};

TEST_F(RuleBatchTest, EachRuleOfABatchEndsOnItsOwn) {
  EXPECT_EQ(outcomes({{"a", "// 1900000000\nDEVICE_NAME(lamp1)"},
                      {"b", "DEVICE_NAME(lamp9)"},
                      {"", "x"},
                      {"c", "plain"}}),
            (std::vector<Kind>{Kind::Installed, Kind::Rejected, Kind::Rejected, Kind::Installed}));
  EXPECT_EQ(servicetest::readFile(dir_.path() / directory_.installedVersions("a")[0].fileName),
            "// 1900000000\nrelay_7");
  // The very text installed again, an older timestamp, and an empty text.
  EXPECT_EQ(outcomes({{"a", "// 1900000000\nDEVICE_NAME(lamp1)"},
                      {"c", ""}}),
            (std::vector<Kind>{Kind::Unchanged, Kind::Cleared}));
  EXPECT_EQ(outcomes({{"a", "// 1800000000\nnewer text, older time"}}),
            std::vector<Kind>{Kind::Outdated});
  EXPECT_TRUE(directory_.installedVersions("c").empty());
}

TEST_F(RuleBatchTest, OnlyInstalledAndClearedRulesGetAStatusAndEveryRuleAResult) {
  const auto reports = install({{"a", "abc"}, {"b", "DEVICE_NAME(nothing)"}});
  const auto installed = publicationsOf(reports[0]);
  ASSERT_EQ(installed.size(), 2u);
  EXPECT_EQ(installed[0].topic, "/tl/bridge/rules/status/a");
  EXPECT_EQ(installed[0].payload, "891568578");
  EXPECT_EQ(installed[1].topic, "/tl/bridge/rules/result/a");
  const auto rejected = publicationsOf(reports[1]);
  ASSERT_EQ(rejected.size(), 1u);
  EXPECT_EQ(rejected[0].kind, Publication::Kind::Result);
  EXPECT_NE(rejected[0].payload.find(R"(the placeholder key \"nothing\" cannot be resolved)"),
            std::string::npos);
}

}  // namespace
}  // namespace talvoro
