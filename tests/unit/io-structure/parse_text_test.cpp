// The structure built while the text is read gives what parsing the document
// first gives, whatever the order of the text. (parse() and errorOf() of
// test_helpers.h compare all three ways for every document of the suite.)

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "test_helpers.h"

namespace talvoro::test {
namespace {

std::size_t cachedTemplates() {
  std::lock_guard<std::mutex> lock(detail::templateCacheMutex());
  return detail::templateCacheStorage().size();
}

TEST(IoStructureParseText, TemplatesMayFollowTheElementsThatNameThem) {
  const auto structure = parse(R"({
      "elements": {"fan": {"device": "relay_9", "template": "relay-2ch"},
                   "blank": {"template": ""}},
      "templates": {"relay-2ch": {"cells": ["K1", "K2"]}, "": {"cells": ["X"]}}})");
  EXPECT_EQ(structure.at("fan")->getCells(), (std::unordered_set<std::string>{"K1", "K2"}));
  EXPECT_EQ(structure.at("blank")->getCells(), (std::unordered_set<std::string>{"X"}));
}

TEST(IoStructureParseText, AMemberGivenTwiceCountsWithItsLastValue) {
  EXPECT_EQ(parse(R"({"elements": {"a": 5, "a": {"device": "x"}}})").at("a")->deviceName, "x");
  EXPECT_EQ(parse(R"({"elements": {"a": {"device": 1, "device": "y"}}})").at("a")->deviceName,
            "y");
  EXPECT_EQ(parse(R"({"elements": 5, "elements": {"a": {}}})").size(), 1u);
  EXPECT_EQ(parse(R"({"elements": {"a": {}}, "elements": {}})").size(), 0u);
  EXPECT_EQ(errorOf(R"({"elements": {"a": {"device": "x"}, "a": 5}})"),
            "elements.a: expected an object, got 5");
  EXPECT_EQ(errorOf(R"({"templates": {"t": {"cells": [1]}}, "templates": {}})"), "");
}

TEST(IoStructureParseText, TheFirstViolationInTheDocumentsOrderIsReported) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"elements": {"a": {"device": 1}}, "templates": {"t": 1}})",
       "templates.t: expected an object, got 1"},
      {R"({"elements": {"z": {"device": 1}, "a": {"port": "x"}}})",
       R"(elements.a.port: expected an integer in the signed 32-bit range, got "x")"},
      {R"({"elements": {"a": {"port": "x", "device": 1}}})",
       "elements.a.device: expected a string, got 1"},
      {R"({"elements": {"b": {"template": "x"}, "a": {"template": "y", "device": 2}}})",
       "elements.a.device: expected a string, got 2"},
      {R"({"elements": {"b": {"device": 2}, "a": {"template": "y"}}})",
       R"(elements.a.template: expected the name of a template, got "y")"},
      {R"({"elements": {"a": {"template": ""}}})",
       R"(elements.a.template: expected the name of a template, got "")"},
  };
  for (const auto& [document, message] : cases) {
    EXPECT_EQ(errorOf(document), message) << document;
  }
  EXPECT_EQ(errorOf(R"({"b": {"c": [1]}, "a": 1, "elements": 5})", true),
            R"((document): expected only the members templates, elements, got "a")");
}

// A violation early in the text does not hide a syntax error later on.
TEST(IoStructureParseText, TextThatIsNotJsonFailsAsJsonParseFails) {
  for (const std::string text : {R"({"elements": {"a": 5}, )", R"([1, 2)", "",
                                 R"({"elements": {"a": {"port": 1e999}}})",
                                 R"({"templates": 1} x)"}) {
    std::string expected;
    try {
      [[maybe_unused]] const auto document = nlohmann::json::parse(text.begin(), text.end());
    } catch (const nlohmann::json::exception& error) {
      expected = error.what();
    }
    try {
      parseText(text);
      ADD_FAILURE() << "no error for " << text;
    } catch (const nlohmann::json::exception& error) {
      EXPECT_EQ(error.what(), expected) << text;
    }
  }
}

TEST(IoStructureParseText, FillsTheTemplateCacheAsTheDocumentParseDoes) {
  const std::string badElement = R"({"elements": {"e": 1}, "templates": {"t": {}, "u": {}}})";
  const std::string badTemplate = R"({"elements": {}, "templates": {"t": {}, "u": 1}})";
  TemplateCacheCleanupGuard guard;
  EXPECT_THROW(parseIoStructureText<IoInfo>(badTemplate, guard, false), IoStructureError);
  EXPECT_EQ(cachedTemplates(), 0u);
  EXPECT_THROW(parseIoStructureText<IoInfo>(badElement, guard, false), IoStructureError);
  EXPECT_EQ(cachedTemplates(), 2u);
}

}  // namespace
}  // namespace talvoro::test
