#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "test_helpers.h"

namespace talvoro::test {
namespace {

using Cells = std::unordered_set<std::string>;
using Topics = std::unordered_map<std::string, std::string>;

TEST(IoStructureParse, ElementMembersDefaultToEmpty) {
  const auto structure = parse(R"({"elements": {"bare": {}}})");
  const IoInfo& bare = *structure.at("bare");
  EXPECT_EQ(bare.deviceName, "");
  EXPECT_EQ(bare.virtualDeviceName, "");
  EXPECT_EQ(bare.port, 0);
  EXPECT_TRUE(bare.getCells().empty());
  EXPECT_TRUE(bare.topicKeys.empty());
  EXPECT_EQ(bare.cellTemplate, nullptr);
}

TEST(IoStructureParse, AbsentOrEmptyElementsGiveNoElements) {
  EXPECT_TRUE(parse(R"({})").empty());
  EXPECT_TRUE(parse(R"({"elements": {}})").empty());
  EXPECT_TRUE(parse(R"({"templates": {"t": {"cells": ["A"]}}})").empty());
}

TEST(IoStructureParse, ReadsOwnCellsAndTopics) {
  const auto structure = parse(R"({"elements": {"lamp1": {
      "device": "relay_7", "virtualDevice": "kitchen_light", "port": 3,
      "cells": ["K2", "K5"]}}})");
  const IoInfo& lamp = *structure.at("lamp1");
  EXPECT_EQ(lamp.deviceName, "relay_7");
  EXPECT_EQ(lamp.virtualDeviceName, "kitchen_light");
  EXPECT_EQ(lamp.port, 3);
  EXPECT_EQ(lamp.getCells(), (Cells{"K2", "K5"}));
  EXPECT_EQ(lamp.topicKeys, (Topics{{"/devices/relay_7/controls/K2", "K2"},
                                    {"/devices/relay_7/controls/K5", "K5"}}));
}

TEST(IoStructureParse, MergesTemplateCellsWithOwnCells) {
  const auto structure = parse(R"({
      "templates": {"relay-3ch": {"cells": ["K1", "K2", "K3"]}},
      "elements": {"fan2": {"device": "relay_9", "template": "relay-3ch",
                            "cells": ["K3", "Mode"]}}})");
  const IoInfo& fan = *structure.at("fan2");
  EXPECT_EQ(fan.getCells(), (Cells{"K1", "K2", "K3", "Mode"}));
  EXPECT_EQ(fan.topicKeys, (Topics{{"/devices/relay_9/controls/K1", "K1"},
                                   {"/devices/relay_9/controls/K2", "K2"},
                                   {"/devices/relay_9/controls/K3", "K3"},
                                   {"/devices/relay_9/controls/Mode", "Mode"}}));
  EXPECT_EQ(fan.templateName, "relay-3ch");
}

TEST(IoStructureParse, PortAcceptsTheWholeSigned32BitRange) {
  EXPECT_EQ(parse(R"({"elements": {"e": {"port": -2147483648}}})").at("e")->port,
            -2147483648LL);
  EXPECT_EQ(parse(R"({"elements": {"e": {"port": 2147483647}}})").at("e")->port,
            2147483647);
}

TEST(IoStructureParse, ReportsEachViolationWithPlaceAndValue) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"([1, 2])", "(document): expected an object, got [1,2]"},
      {R"({"elements": [1]})", "elements: expected an object, got [1]"},
      {R"({"templates": 5})", "templates: expected an object, got 5"},
      {R"({"templates": {"t": "K1"}})",
       R"(templates.t: expected an object, got "K1")"},
      {R"({"templates": {"t": {"cells": "K1"}}})",
       R"(templates.t.cells: expected an array of strings, got "K1")"},
      {R"({"templates": {"unused": {"cells": ["K1", 2]}}})",
       "templates.unused.cells[1]: expected a string, got 2"},
      {R"({"elements": {"lamp1": "x"}})",
       R"(elements.lamp1: expected an object, got "x")"},
      {R"({"elements": {"lamp1": {"device": 7}}})",
       "elements.lamp1.device: expected a string, got 7"},
      {R"({"elements": {"lamp1": {"virtualDevice": null}}})",
       "elements.lamp1.virtualDevice: expected a string, got null"},
      {R"({"elements": {"lamp1": {"cells": {"K1": 1}}}})",
       R"(elements.lamp1.cells: expected an array of strings, got {"K1":1})"},
      {R"({"elements": {"lamp1": {"cells": ["K1", ["K2"]]}}})",
       R"(elements.lamp1.cells[1]: expected a string, got ["K2"])"},
      {R"({"elements": {"lamp1": {"template": 3}}})",
       "elements.lamp1.template: expected a string, got 3"},
      {R"({"templates": {"a": {}}, "elements": {"fan": {"template": "b"}}})",
       R"(elements.fan.template: expected the name of a template, got "b")"},
      {R"({"elements": {"room.1/lamp": {"device": false}}})",
       "elements.room.1/lamp.device: expected a string, got false"},
  };
  for (const auto& [document, message] : cases) {
    EXPECT_EQ(errorOf(document), message) << document;
  }
}

TEST(IoStructureParse, RejectsPortsThatAreNotSigned32BitIntegers) {
  const std::string expected =
      "elements.lamp1.port: expected an integer in the signed 32-bit range, "
      "got ";
  for (const std::string port : {"4294967296", "2147483648", "-2147483649",
                                 "3.5", "3.0", "\"3\"", "true"}) {
    EXPECT_EQ(errorOf(R"({"elements": {"lamp1": {"port": )" + port + "}}}"),
              expected + port);
  }
}

TEST(IoStructureParse, ShortensLongValuesAndSurvivesInvalidUtf8) {
  const std::string longArray =
      R"({"elements": [")" + std::string(1000, 'a') + R"("]})";
  const std::string message = errorOf(longArray);
  EXPECT_EQ(message.rfind(R"(elements: expected an object, got ["aaa)", 0), 0u);
  EXPECT_LT(message.size(), 300u);
  EXPECT_EQ(message.substr(message.size() - 3), "...");

  // The cut falls inside the first two-byte "é" and must not keep half of it.
  std::string accented(197, 'a');
  for (int i = 0; i < 10; ++i) {
    accented += "\xC3\xA9";
  }
  const nlohmann::json accentedDocument = {
      {"elements", nlohmann::json::array({accented})}};
  const std::string cut = errorOfDocument(accentedDocument);
  EXPECT_EQ(cut.substr(cut.size() - 6), "aaa...");

  const nlohmann::json badText = {{"elements", {{"e", {{"port", "\xff"}}}}}};
  EXPECT_EQ(errorOfDocument(badText),
            "elements.e.port: expected an integer in the signed 32-bit range, "
            "got \"\xEF\xBF\xBD\"");
}

TEST(IoStructureParse, ShowsDeeplyNestedValuesAsABoundedExcerpt) {
  // Rendering the whole value would recurse once per level and overflow the
  // stack long before 100,000 levels.
  constexpr std::size_t kLevels = 100000;
  const std::string deep = R"({"elements": )" + std::string(kLevels, '[') +
                           std::string(kLevels, ']') + "}";
  EXPECT_EQ(errorOf(deep), "elements: expected an object, got [[[[[...]]]]]");
  EXPECT_EQ(errorOf(R"({"elements": [{"a": {"b": [1, {}]}}, []]})"),
            R"(elements: expected an object, got [{"a":{"b":[1,{}]}},[]])");
}

TEST(IoStructureParse, UnknownMembersAreIgnoredUnlessStrict) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"version": 2})",
       R"((document): expected only the members templates, elements, got "version")"},
      {R"({"templates": {"t": {"cells": [], "title": "Relay"}}})",
       R"(templates.t: expected only the members cells, got "title")"},
      {R"({"elements": {"lamp1": {"port": 1, "colour": "red"}}})",
       "elements.lamp1: expected only the members device, virtualDevice, "
       R"(port, cells, template, got "colour")"},
  };
  for (const auto& [document, message] : cases) {
    EXPECT_EQ(errorOf(document, true), message);
    EXPECT_EQ(errorOf(document, false), "") << document;
  }
  const auto lenient = parse(
      R"({"x": 1, "elements": {"e": {"port": 4, "colour": "red"}}})", false);
  EXPECT_EQ(lenient.at("e")->port, 4);
}

}  // namespace
}  // namespace talvoro::test
