// rules-push's controllers, inventory and plan, without MQTT: the fleet
// file, the topic prefix, the pages of an inventory put together, and what
// --check and --prune make of them.

#include <gtest/gtest.h>

#include <sstream>

#include "fleet_file.h"
#include "inventory_plan.h"
#include "inventory_reader.h"
#include "push_options.h"
#include "report.h"
#include "talvoro/rule_crc.h"

namespace talvoro::push {
namespace {

using protocol::ruleCrc;

std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "no error";
}

TEST(RulesPushFleet, ReadsBrokersPrefixesAndLoginsLineByLine) {
  const std::vector<Controller> controllers = parseFleet(
      "# central broker of site A\n"
      "tcp://central:1883 fleet/ctl-001 user=deploy password-file=/run/secret\n"
      "\n"
      "   fleet/ctl-002\t\n"
      "mqtts://other:8883 fleet/ctl-001\n",
      "fleet.txt", "tcp://default:1883");
  ASSERT_EQ(controllers.size(), 3u);
  EXPECT_EQ(controllers[0].broker, "tcp://central:1883");
  EXPECT_EQ(controllers[0].prefix, "fleet/ctl-001");
  ASSERT_TRUE(controllers[0].login);
  EXPECT_EQ(controllers[0].login->username, "deploy");
  EXPECT_EQ(controllers[0].login->passwordFile, "/run/secret");
  EXPECT_EQ(controllers[1].broker, "tcp://default:1883");
  EXPECT_FALSE(controllers[1].login);
  EXPECT_EQ(controllers[2].prefix, "fleet/ctl-001");

  std::vector<Controller> labelled = controllers;
  labelControllers(labelled);
  EXPECT_EQ(labelled[0].label, "tcp://central:1883 fleet/ctl-001");  // prefix on two brokers
  EXPECT_EQ(labelled[1].label, "fleet/ctl-002");
}

TEST(RulesPushFleet, AMalformedLineIsRefusedWithItsNumber) {
  const auto parse = [](const std::string& text) {
    return errorOf([&] { parseFleet(text, "f", "tcp://d:1883"); });
  };
  EXPECT_EQ(parse("a/b\n\nhttp://x a/c\n"),
            "f:3: \"http://x\" is not a broker address: the scheme is not tcp, mqtt, ssl or mqtts");
  EXPECT_EQ(parse("tcp://x:1883\n"), "f:1: no topic prefix after the broker");
  EXPECT_EQ(parse("a/+/b\n"), "f:1: \"a/+/b\" is no topic prefix: it holds a wildcard ('+' or '#')");
  EXPECT_EQ(parse("a/b/\n"),
            "f:1: \"a/b/\" is no topic prefix: it ends with '/' (the service's topics start with "
            "one)");
  EXPECT_EQ(parse("a/b secret\n"),
            "f:1: \"secret\" is neither user=NAME nor password-file=PATH (a broker URI goes "
            "first, then the prefix)");
  EXPECT_EQ(parse("a/b password-file=/p\n"), "f:1: a password file without user=NAME");
  EXPECT_EQ(parse("a/b\ntcp://d:1883 a/b\n"),
            "f:2: the controller a/b on tcp://d:1883 is given twice");
  EXPECT_EQ(parse("# nothing\n\n"), "f: no controller in the file");
  EXPECT_THROW(parseFleet("a/b user=\n", "f", "tcp://d:1883"), InputError);
}

TEST(RulesPushFleet, OptionsThatCannotGoTogetherAreRefused) {
  const auto usage = [](std::vector<std::string> args) {
    return errorOf([&] { parseArguments(args); });
  };
  EXPECT_EQ(usage({"--prune", "--configuration", "io.json"}),
            "--prune removes every installed rule that is not given: it needs the rules to keep");
  EXPECT_EQ(usage({"--prune-unknown", "a.js"}), "--prune-unknown widens --prune, which is not given");
  EXPECT_EQ(usage({"--fleet", "f", "--prefix", "p", "a.js"}),
            "--fleet and --prefix cannot go together: the fleet file gives each controller's "
            "prefix");
  EXPECT_EQ(usage({"--fleet", "f", "--broker", "tcp://a", "--broker", "tcp://b", "a.js"}),
            "--fleet takes at most one --broker, the broker of the lines that name none");
  EXPECT_EQ(usage({"--list", "a.js"}),
            "--list prints what is installed: it takes no rule, configuration, --check, --prune, "
            "--clear, --retranslate or --sign-key");
  EXPECT_EQ(usage({"--prefix", "$SYS", "a.js"}),
            "--prefix: \"$SYS\" is no topic prefix: topics starting with '$' are the broker's own");
  EXPECT_TRUE(parseArguments({"--list", "--prefix", "fleet/ctl-001"}).list);
  EXPECT_TRUE(parseArguments({"--check", "--prune", "--prune-unknown", "a.js"}).pruneUnknown);
}

std::string page(const std::string& request, int number, int pages, const std::string& rules,
                 const std::string& structure = "s1") {
  return "{\"request\":\"" + request + "\",\"structure\":\"" + structure +
         "\",\"page\":" + std::to_string(number) + ",\"pages\":" + std::to_string(pages) +
         ",\"rules\":[" + rules + "]}";
}

TEST(RulesPushInventory, PutsThePagesOfItsRequestTogether) {
  InventoryReader reader("req-1");
  reader.take(page("req-2", 1, 1, ""));  // somebody else's
  reader.take("not json");
  reader.take(page("req-1", 2, 2, R"({"name":"b","crc":2,"timestamp":5,"file":"b.js","state":"stale","reason":"gone"})"));
  EXPECT_FALSE(reader.complete());
  reader.take(page("req-1", 1, 2, R"({"name":"a","crc":1,"timestamp":0,"file":"a.js","state":"current"})"));
  ASSERT_TRUE(reader.complete());
  EXPECT_FALSE(reader.answeredTwice());
  ASSERT_EQ(reader.inventory().rules.size(), 2u);
  EXPECT_EQ(reader.inventory().structure, "s1");
  EXPECT_EQ(reader.inventory().rules[0].reason, "gone");
  EXPECT_EQ(reader.inventory().rules[1].name, "a");
}

TEST(RulesPushInventory, ASecondAnswerToOneRequestIsTwoServices) {
  InventoryReader same("r");
  same.take(page("r", 1, 1, ""));
  same.take(page("r", 1, 1, ""));
  EXPECT_TRUE(same.answeredTwice());
  InventoryReader other("r");
  other.take(page("r", 1, 2, ""));
  other.take(page("r", 2, 2, "", "s2"));  // another IO structure
  EXPECT_TRUE(other.answeredTwice());
  EXPECT_NE(newInventoryRequestId(), newInventoryRequestId());
  EXPECT_LE(newInventoryRequestId().size(), 64u);
}

InstalledRule installed(const std::string& name, const std::string& text,
                        const std::string& state) {
  return {name, state == "unknown" ? 0 : ruleCrc(text), 0, name + ".js", state, ""};
}

TEST(RulesPushPlan, JudgesEachRuleOfTheSetAndEachInstalledOneOutsideIt) {
  const std::vector<RuleFile> set = {{"same", "A"},   {"changed", "B2"}, {"stale", "C"},
                                     {"edited", "D"}, {"gone", "E"},     {"new", "F"}};
  Inventory inventory{"s1",
                      {installed("changed", "B1", "current"), installed("edited", "D", "modified"),
                       installed("extra", "X", "current"), installed("gone", "E", "missing"),
                       installed("hand", "", "unknown"), installed("same", "A", "current"),
                       installed("stale", "C", "stale")}};
  inventory.rules[6].reason = "the element \"lamp9\" is gone";

  std::map<std::string, std::string> verdicts;
  std::map<std::string, std::size_t> counts;
  for (const PlanLine& line : planFromInventory(set, inventory, {})) {
    verdicts[line.name] = line.verdict.outcome + (line.verdict.reason.empty() ? "" : ": ") +
                          line.verdict.reason;
    ++counts[line.verdict.outcome];
  }
  EXPECT_EQ(verdicts["same"], "in place");
  EXPECT_EQ(verdicts["changed"], "would be sent: installed with the CRC " +
                                     std::to_string(ruleCrc("B1")));
  EXPECT_EQ(verdicts["stale"], "stale: the element \"lamp9\" is gone");
  EXPECT_EQ(verdicts["edited"], "would be sent: the installed file was changed by somebody else");
  EXPECT_EQ(verdicts["gone"], "would be sent: the installed file is gone");
  EXPECT_EQ(verdicts["new"], "would be sent: not installed");
  EXPECT_EQ(verdicts["extra"], "not in the set");
  EXPECT_EQ(verdicts["hand"], "not in the set: a file the service did not install");
  EXPECT_EQ(planExitStatus(counts), 4);
  EXPECT_EQ(planExitStatus({{"in place", 3}, {"not in the set", 2}}), 0);
  EXPECT_EQ(planExitStatus({{"in place", 3}, {"would be removed", 1}}), 4);
  EXPECT_EQ(planExitStatus({{"stale", 1}}), 4);
  EXPECT_EQ(planExitStatus({{"would be sent", 1}, {"no result", 1}}), 3);

  EXPECT_EQ(rulesToPrune(set, inventory, {true, false}), std::vector<std::string>{"extra"});
  EXPECT_EQ(rulesToPrune(set, inventory, {true, true}),
            (std::vector<std::string>{"extra", "hand"}));
  EXPECT_TRUE(rulesToPrune(set, inventory, {false, true}).empty());
  for (const PlanLine& line : planFromInventory(set, inventory, {true, false})) {
    if (line.name == "extra") {
      EXPECT_EQ(line.verdict.outcome, "would be removed");
    }
    if (line.name == "hand") {
      EXPECT_EQ(line.verdict.reason,
                "a file the service did not install: --prune-unknown removes it");
    }
  }
}

TEST(RulesPushPlan, AMissingRuleWithAnotherFileOfItIsJudgedByItsStoredText) {
  const Inventory inventory{"s", {installed("a", "T", "missing"), installed("a", "", "unknown")}};
  const std::vector<PlanLine> lines = planFromInventory({{"a", "T"}}, inventory, {true, true});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].verdict.reason, "the installed file is gone");
  EXPECT_EQ(rulesToPrune({}, inventory, {true, true}), std::vector<std::string>{"a"});
}

TEST(RulesPushFleetReport, LinesStartWithThePrefixAndEachControllerHasASummary) {
  const Controller controller{"tcp://central:1883", "fleet/ctl-007", std::nullopt,
                              "fleet/ctl-007"};
  const Outcome installedOutcome{"installed", {}};
  for (const Format format : {Format::Text, Format::Json}) {
    std::ostringstream out;
    Reporter reporter(out, format, true);
    reporter.item({&controller, false, "hall", 7, &installedOutcome});
    reporter.item({&controller, false, "door", 8, nullptr, "unreachable: connection refused"});
    reporter.installed(controller, {"hand", 0, 0, "hand-__1__.js", "unknown", ""});
    reporter.summary(controller, "summary: 2 rules; 1 installed, 1 no result");
    reporter.controllerDone(controller, 3);
    reporter.finish(3);
    const std::string expected =
        format == Format::Text
            ? "fleet/ctl-007: hall: installed\n"
              "fleet/ctl-007: door: no result: unreachable: connection refused\n"
              "fleet/ctl-007: hand: unknown, crc 0, timestamp 0, file hand-__1__.js\n"
              "fleet/ctl-007: summary: 2 rules; 1 installed, 1 no result\n"
            : R"({"broker":"tcp://central:1883","controller":"fleet/ctl-007","name":"hall","outcome":"installed","crc":7})"
              "\n"
              R"({"broker":"tcp://central:1883","controller":"fleet/ctl-007","name":"door","outcome":"no result","crc":8,"reason":"unreachable: connection refused"})"
              "\n"
              R"({"broker":"tcp://central:1883","controller":"fleet/ctl-007","name":"hand","state":"unknown","crc":0,"timestamp":0,"file":"hand-__1__.js"})"
              "\n"
              R"({"broker":"tcp://central:1883","controller":"fleet/ctl-007","summary":{"installed":1,"no result":1,"unknown":1},"exit":3})"
              "\n"
              R"({"summary":{"installed":1,"no result":1,"unknown":1},"exit":3})"
              "\n";
    EXPECT_EQ(out.str(), expected);
  }
}

}  // namespace
}  // namespace talvoro::push
