// A batch of rule messages on a temporary rule directory: what each one comes
// to, what is published for it, and how large the next batch may be.

#include "rule_batch.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "batch_limits.h"
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

TEST_F(RuleBatchTest, AnInstalledRuleGetsItsStatusThenItsResultAndARejectedOneOnlyAResult) {
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

TEST_F(RuleBatchTest, TheTextInPlaceIsAcknowledgedAgainAndAFileEditedByHandIsPutRight) {
  const std::string text = "// 1900000000\nDEVICE_NAME(lamp1)";
  install({{"a", text}});
  const auto again = install({{"a", text}});
  EXPECT_EQ(again[0].outcome.kind, Kind::Unchanged);
  EXPECT_EQ(publicationsOf(again[0])[0].topic, "/tl/bridge/rules/status/a");

  const auto file = dir_.path() / directory_.installedVersions("a")[0].fileName;
  servicetest::writeFile(file, "// 1900000000\ntampered");
  const auto repaired = install({{"a", text}});
  EXPECT_EQ(repaired[0].outcome.kind, Kind::Installed);
  EXPECT_EQ(servicetest::readFile(file), "// 1900000000\nrelay_7");
  EXPECT_EQ(directory_.installedVersions("a").size(), 1u);
}

// The hashes remembered for the trace log are those of installed rules only.
TEST_F(RuleBatchTest, AClearedRuleIsForgottenAndIsNewWhenItComesBack) {
  install({{"a", "v1"}});
  install({{"a", ""}});
  trace_.skipToEnd();
  install({{"a", "v1"}});
  EXPECT_EQ(trace_.countNew("Запоминаем хеш для a:"), 1u);
}

TEST(BatchLimitsTest, ABatchFitsItsTimeOnSlowStorageAndGrowsBackOnFastStorage) {
  using namespace std::chrono_literals;
  servicetest::TraceCapture trace;
  BatchLimits limits(*P7::getTrace());
  EXPECT_EQ(limits.maxMessages(), BatchLimits::kFirstMessages);
  // Within its time, a batch shrinks nothing, not even after a slow one alone.
  limits.took(8, 8 * 240ms);
  limits.took(1, 500ms);
  EXPECT_EQ(limits.maxMessages(), 8u);
  EXPECT_EQ(trace.countNew("медленно"), 0u);
  limits.took(8, 8 * 300ms);
  EXPECT_EQ(limits.maxMessages(), 6u);
  EXPECT_EQ(trace.countNew("Хранилище правил работает медленно: 300 мс на правило; в пакете "
                           "не более 6 правил"),
            1u);
  limits.took(6, 6 * 1s);
  EXPECT_EQ(limits.maxMessages(), 2u);
  limits.took(0, 1h);  // nothing replaced: says nothing of the storage
  EXPECT_EQ(limits.maxMessages(), 2u);
  // A few cheap rules vouch for no more than four times as many.
  for (const std::size_t expected : {8u, 32u, 128u, 256u, 256u}) {
    limits.took(limits.maxMessages(), limits.maxMessages() * 1ms);
    EXPECT_EQ(limits.maxMessages(), expected);
  }
  EXPECT_EQ(trace.countNew("Хранилище правил снова работает быстро: 1 мс на правило"), 1u);
  EXPECT_EQ(trace.countNew("медленно"), 0u);
}

TEST_F(RuleBatchTest, TheTraceLogKeepsOnlyTheStartOfALargeRuleWithItsLength) {
  install({{"large", std::string(100000, 'x')}});
  const std::string log = trace_.text();
  EXPECT_NE(log.find("large:" + std::string(4096, 'x') + "... (всего 100000 байт)"),
            std::string::npos);
  EXPECT_EQ(log.find(std::string(4097, 'x')), std::string::npos);
}

constexpr int kCapNotEnforced = 3;

rlim_t addressSpaceInUse() {
  std::ifstream statm("/proc/self/statm");
  rlim_t pages = 0;
  statm >> pages;
  return pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
}

// Memory runs out in a child process whose address space is capped just above
// what it uses; the rule that does not fit fails alone.
TEST_F(RuleBatchTest, ARuleTooLargeForTheMemoryFailsAloneAndTheServiceGoesOn) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than the cap allows";
#endif
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::vector<RuleMessage> batch;
    batch.push_back({"big", std::vector<char>(64 << 20, 'x')});
    batch.push_back({"small", {'o', 'k'}});
    const rlimit cap{addressSpaceInUse() + (32 << 20), RLIM_INFINITY};
    ::setrlimit(RLIMIT_AS, &cap);
    void* volatile probe = std::malloc(64 << 20);  // qemu-user ignores RLIMIT_AS
    if (probe != nullptr) ::_exit(kCapNotEnforced);
    const auto reports = installer_.install(std::move(batch), structure_);
    const bool failedAlone = reports[0].outcome.kind == Kind::Failed &&
                             !reports[0].outcome.reason.empty() &&
                             reports[1].outcome.kind == Kind::Installed;
    ::_exit(failedAlone ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  if (WIFEXITED(status) && WEXITSTATUS(status) == kCapNotEnforced) {
    GTEST_SKIP() << "this system does not enforce an address-space limit";
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
}

}  // namespace
}  // namespace talvoro
