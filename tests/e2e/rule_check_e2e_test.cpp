// The checks a rule passes before it replaces the installed version, as a
// publisher and an operator meet them: the modes of the syntax check, the
// operator's check command, and the warnings of placeholders that resolve to
// nothing.

#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "service_fixture.h"

namespace e2e {
namespace {

using nlohmann::json;

constexpr const char* kStructure =
    R"({"elements": {"lamp1": {"device": "relay_7", "virtualDevice": "kitchen", "port": 3,
                               "cells": ["K1"]}}})";
// A brace missing: the rule engine would fail to load it.
const std::string kBroken =
    "// 1900000000\ndefineRule(\"x\", { whenChanged: \"a/b\", then: function () { log(\"on\") }\n";
const std::string kWorking =
    "// 1800000000\ndefineRule(\"x\", { whenChanged: \"DEVICE_NAME(lamp1)/K1\",\n"
    "  then: function () { log(\"on\") } });\n";

bool contains(const std::string& text, const std::string& fragment) {
  return text.find(fragment) != std::string::npos;
}

class RuleCheckTest : public ServiceTest {
 protected:
  // Starts the service with `environment` added to its own, hands it the
  // structure and keeps the configuration's result.
  void start(std::map<std::string, std::string> environment,
             const std::string& structure = kStructure) {
    if (IsSkipped() || HasFatalFailure()) {
      return;
    }
    serviceEnvironment_ = std::move(environment);
    observer_.connect(broker_->url(), "e2e-observer");
    observer_.subscribe("/tl/bridge/rules/result/#", 1);
    observer_.subscribe("/tl/bridge/configuration/result", 1);
    startConfigured(structure);
    configurationResult_ = nextResult();
  }

  // The next result on `topic`; those of other topics (sync()'s rules) are
  // passed over.
  json nextResult(const std::string& topic = "/tl/bridge/configuration/result") {
    while (const auto message = observer_.waitMessage(20s)) {
      if (message->topic == topic) {
        return json::parse(message->payload);
      }
    }
    ADD_FAILURE() << "no result on " << topic;
    return {};
  }

  json ruleResult(const std::string& name, const std::string& text) {
    publishRule(name, text);
    return nextResult("/tl/bridge/rules/result/" + name);
  }

  // An executable script in the test's directory, by its absolute path.
  std::string script(const std::string& name, const std::string& body) const {
    const fs::path path = scratch_.path() / name;
    std::ofstream(path) << "#!/bin/sh\n" << body;
    ::chmod(path.c_str(), 0755);
    return path.string();
  }

  // Installs kWorking; the name of its file, whose content is then `installed_`.
  std::string installWorking() {
    const json result = ruleResult("x", kWorking);
    EXPECT_EQ(result["outcome"], "installed") << result;
    installed_ = readRuleFile(result.value("file", ""));
    sync();
    takeStatuses();
    return result.value("file", "");
  }

  // The rule directory holds `file` alone, as installWorking() left it, and
  // no status went out for rule "x".
  void expectWorkingVersionStays(const std::string& file) {
    sync();
    EXPECT_EQ(takeStatuses().count("x"), 0u);
    EXPECT_EQ(ruleFiles(), std::vector<std::string>{file});
    EXPECT_EQ(readRuleFile(file), installed_);
  }

  testsupport::TestMqttClient observer_;
  json configurationResult_;
  std::string installed_;
};

TEST_F(RuleCheckTest, WarnModeInstallsARuleThatDoesNotParseWithTheEnginesMessageAndLine) {
  start({});
  const json result = ruleResult("x", kBroken);
  ASSERT_EQ(result["outcome"], "installed") << result;
  const std::string warning = result.value("warning", "");
  EXPECT_EQ(warning.rfind("SyntaxError: ", 0), 0u) << warning;
  EXPECT_TRUE(contains(warning, ", line ")) << warning;
  EXPECT_TRUE(waitForTrace("WARNING "));
  EXPECT_TRUE(contains(traceLog(), "Правило x: " + warning)) << traceLog();
}

TEST_F(RuleCheckTest, RejectModeKeepsTheInstalledVersionAndSendsNoStatus) {
  start({{"RULES_SYNTAX_CHECK", "reject"}});
  const std::string file = installWorking();
  const json result = ruleResult("x", kBroken);
  EXPECT_EQ(result["outcome"], "rejected") << result;
  EXPECT_EQ(result.value("reason", "").rfind("SyntaxError: ", 0), 0u) << result;
  EXPECT_FALSE(result.contains("file")) << result;
  expectWorkingVersionStays(file);
}

TEST_F(RuleCheckTest, OffModeChecksNothing) {
  start({{"RULES_SYNTAX_CHECK", "off"}});
  const json result = ruleResult("x", kBroken);
  EXPECT_EQ(result["outcome"], "installed") << result;
  EXPECT_FALSE(result.contains("warning")) << result;
}

TEST_F(RuleCheckTest, RulesOfTheUsualKindsPassInRejectMode) {
  start({{"RULES_SYNTAX_CHECK", "reject"}}, readAll(EXAMPLE_STRUCTURE));
  const std::map<std::string, std::string> rules = {
      {"example", readAll(EXAMPLE_RULE)},
      {"virtual-device",
       "defineVirtualDevice(\"heating\", { title: \"Heating\", cells: {\n"
       "  enabled: { type: \"switch\", value: false },\n"
       "  setpoint: { type: \"range\", value: 21, max: 30 } } });\n"},
      {"condition",
       "defineRule(\"too_hot\", {\n"
       "  when: function () { return dev[\"heating/setpoint\"] > 25; },\n"
       "  then: function (newValue, devName, cellName) {\n"
       "    dev[\"heating/enabled\"] = false; runShellCommand(\"logger too hot\"); } });\n"},
      {"cron",
       "defineRule(\"nightly\", { when: cron(\"0 0 3 * * *\"), then: function () {\n"
       "  var cells = [\"a\", \"b\"]; for (var i = 0; i < cells.length; i++) { log(cells[i]); }\n"
       "  startTicker(\"poll\", 1000); } });\n"
       "module.exports = { name: 'nightly', pattern: /^\\d+$/ };\n"},
  };
  for (const auto& [name, text] : rules) {
    const json result = ruleResult(name, text);
    EXPECT_EQ(result["outcome"], "installed") << name << ": " << result;
    EXPECT_FALSE(result.contains("warning")) << name << ": " << result;
  }
}

TEST_F(RuleCheckTest, ATextAboveTheCheckedSizeIsInstalledUncheckedAndSaysSo) {
  start({{"RULES_SYNTAX_CHECK", "reject"}});
  const std::string large = kBroken + "// " + std::string(600 * 1024, 'x') + "\n";
  const json result = ruleResult("x", large);
  EXPECT_EQ(result["outcome"], "installed") << result["outcome"];
  EXPECT_EQ(result.value("warning", ""),
            "not checked: the text has " + std::to_string(large.size()) +
                " bytes, more than the 512 KiB that are checked");
}

TEST_F(RuleCheckTest, TheCheckCommandAcceptsRefusesAndIsKilledAtItsTimeout) {
  const std::string check = script(
      "check.sh",
      "case \"$(cat \"$1\")\" in\n"
      "  *forbidden*) echo \"forbidden word in $1\" >&2; echo second line >&2; exit 3 ;;\n"
      "  *slow*) sleep 60 ;;\n"
      "esac\n");
  start({{"RULES_CHECK_COMMAND", check + " %s"}});
  const std::string file = installWorking();

  json result = ruleResult("x", "// 1900000000\nlog(\"forbidden\");\n");
  EXPECT_EQ(result["outcome"], "rejected") << result;
  const std::string reason = result.value("reason", "");
  // The service sees its rule directory as /etc/wb-rules.
  EXPECT_EQ(reason.rfind("check command exited with status 3: forbidden word in /etc/wb-rules/.",
                         0),
            0u)
      << reason;
  EXPECT_FALSE(contains(reason, "second line")) << reason;
  expectWorkingVersionStays(file);

  result = ruleResult("x", "// 1900000001\nlog(\"slow\");\n");
  EXPECT_EQ(result["outcome"], "rejected") << result;
  EXPECT_EQ(result["reason"], "check command did not finish within 5 s and was killed");
  expectWorkingVersionStays(file);
}

TEST_F(RuleCheckTest, ANewTranslationThatTheCheckCommandRefusesKeepsTheInstalledFile) {
  const std::string check = script(
      "check.sh", "if grep -q relay_9 \"$1\"; then echo \"relay_9 is off limits\" >&2; exit 4; fi\n");
  start({{"RULES_CHECK_COMMAND", check + " %s"}});
  const std::string file = installWorking();

  configure(R"({"elements": {"lamp1": {"device": "relay_9", "cells": ["K1"]}}})");
  EXPECT_EQ(nextResult()["retranslating"], 2);  // with sync()'s rule, whose text names nothing
  const json result = nextResult("/tl/bridge/rules/result/x");
  EXPECT_EQ(result["outcome"], "failed") << result;
  EXPECT_EQ(result.value("reason", "").rfind(
                "the check refused the new translation: check command exited with status 4: "
                "relay_9 is off limits",
                0),
            0u)
      << result;
  EXPECT_EQ(nextResult()["failed"], 1);
  expectWorkingVersionStays(file);
}

TEST_F(RuleCheckTest, PlaceholdersThatResolveToNothingAndUnknownMembersAreWarnedOf) {
  start({{"RULES_SYNTAX_CHECK", "reject"}},
        R"({"elements": {"lamp1": {"dXvice": "relay_7", "cells": ["K1"]},
                         "fan2": {"device": "relay_9", "cells": ["K2"]}}})");
  EXPECT_EQ(configurationResult_.value("warning", ""),
            "members no element schema knows: elements.lamp1.dXvice; "
            "elements without a device: lamp1");
  const json result = ruleResult(
      "x", "publish(\"VIRTUAL_DEVICE_NAME(fan2)\", PORT_NAME(fan2));\n"
           "dev[\"DEVICE_NAME(lamp1)/CELL_NAME(lamp1)\"] = PORT_NAME(fan2);\n");
  EXPECT_EQ(result["outcome"], "installed") << result;
  EXPECT_EQ(result.value("warning", ""),
            "VIRTUAL_DEVICE_NAME(fan2) is \"\": the element has no \"virtualDevice\"; "
            "PORT_NAME(fan2) is 0: the element has no \"port\"; "
            "DEVICE_NAME(lamp1) is \"\": the element has no \"device\"");
}

TEST_F(RuleCheckTest, AnUnknownModeIsRefusedAtStartWithExitStatus2) {
  ServiceProcess service(broker_->url(), rulesDir_, logsDir_, workDir_,
                         RULES_PREPROCESSOR_BINARY, {{"RULES_SYNTAX_CHECK", "strict"}});
  const std::optional<int> status = service.waitExit(10s);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 2) << *status;
  EXPECT_TRUE(contains(readAll(workDir_ / kStandardErrorFile),
                       "rules-preprocessor: RULES_SYNTAX_CHECK=\"strict\" is not a mode: "
                       "expected warn, reject or off\n"))
      << readAll(workDir_ / kStandardErrorFile);
}

}  // namespace
}  // namespace e2e
