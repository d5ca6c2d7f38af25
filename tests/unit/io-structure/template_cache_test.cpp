#include <gtest/gtest.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "test_helpers.h"

namespace talvoro::test {
namespace {

std::size_t cachedTemplates() {
  std::lock_guard<std::mutex> lock(detail::templateCacheMutex());
  return detail::templateCacheStorage().size();
}

std::shared_ptr<const TemplateCacheEntry> cached(const std::string& name) {
  std::lock_guard<std::mutex> lock(detail::templateCacheMutex());
  const auto& cache = detail::templateCacheStorage();
  const auto found = cache.find(name);
  return found == cache.end() ? nullptr : found->second;
}

const nlohmann::json kDocument = nlohmann::json::parse(R"({
    "templates": {"relay-2ch": {"cells": ["K1", "K2"]},
                  "unused": {"cells": ["X"]}},
    "elements": {"fan1": {"device": "relay_1", "template": "relay-2ch"},
                 "fan2": {"device": "relay_2", "template": "relay-2ch"}}})");

TEST(IoStructureTemplateCache, ElementsOfOneTemplateShareTheCachedEntry) {
  TemplateCacheCleanupGuard guard;
  const auto structure = parseIoStructure<IoInfo>(kDocument, guard, false);
  const auto entry = cached("relay-2ch");
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->name, "relay-2ch");
  EXPECT_EQ(entry->cells, (std::vector<std::string>{"K1", "K2"}));
  EXPECT_EQ(structure.at("fan1")->cellTemplate, entry);
  EXPECT_EQ(structure.at("fan2")->cellTemplate, entry);
  EXPECT_NE(cached("unused"), nullptr);
}

TEST(IoStructureTemplateCache, GuardEmptiesTheCacheWhileElementsKeepTheirEntries) {
  IoStructure structure;
  {
    TemplateCacheCleanupGuard guard{true};
    structure = parseIoStructure<IoInfo>(kDocument, guard, false);
    EXPECT_EQ(cachedTemplates(), 2u);
  }
  EXPECT_EQ(cachedTemplates(), 0u);
  const IoInfo& fan = *structure.at("fan2");
  EXPECT_EQ(fan.cellTemplate.use_count(), 2);
  EXPECT_EQ(fan.getCells(), (std::unordered_set<std::string>{"K1", "K2"}));
}

TEST(IoStructureTemplateCache, GuardEmptiesTheCacheAfterAFailedParse) {
  EXPECT_NE(errorOf(R"({"templates": {"t": {}}, "elements": {"e": 1}})"), "");
  EXPECT_EQ(cachedTemplates(), 0u);
}

TEST(IoStructureTemplateCache, EntriesLeftByAnotherDocumentAreNeverUsed) {
  TemplateCacheCleanupGuard guard;
  const auto first = parseIoStructure<IoInfo>(kDocument, guard, false);

  const auto redefined = nlohmann::json::parse(R"({
      "templates": {"relay-2ch": {"cells": ["A", "B"]}},
      "elements": {"fan": {"template": "relay-2ch"}}})");
  const auto second = parseIoStructure<IoInfo>(redefined, guard, false);
  EXPECT_EQ(second.at("fan")->getCells(),
            (std::unordered_set<std::string>{"A", "B"}));
  EXPECT_EQ(first.at("fan1")->getCells(),
            (std::unordered_set<std::string>{"K1", "K2"}));

  const auto undefined =
      nlohmann::json::parse(R"({"elements": {"fan": {"template": "unused"}}})");
  EXPECT_THROW(parseIoStructure<IoInfo>(undefined, guard, false),
               IoStructureError);
}

TEST(IoStructureTemplateCache, AnIdenticalCachedEntryIsShared) {
  TemplateCacheCleanupGuard guard;
  const auto first = parseIoStructure<IoInfo>(kDocument, guard, false);
  const auto second = parseIoStructure<IoInfo>(kDocument, guard, false);
  EXPECT_EQ(first.at("fan1")->cellTemplate, second.at("fan1")->cellTemplate);
}

}  // namespace
}  // namespace talvoro::test
