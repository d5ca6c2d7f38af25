// The compact table of installed versions: every hash comes back as its file
// name writes it, and the count of rules follows every change.

#include "version_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace talvoro {
namespace {

std::vector<std::string> hashesOf(VersionTable& table, const std::string& rule) {
  std::vector<std::string> hashes;
  table.forEachOf(rule, [&](const std::string& hash, EntryKind&) { hashes.push_back(hash); });
  std::sort(hashes.begin(), hashes.end());
  return hashes;
}

TEST(VersionTable, GivesBackEveryHashAsWrittenAndCountsTheRules) {
  const std::string huge = "123456789012345678901234567890";
  VersionTable table;
  table.reset({{"a", "0012", EntryKind::File},
               {"a", "7", EntryKind::File},
               {"b", huge, EntryKind::File},
               {"c", "18446744073709551615", EntryKind::File},
               {"d", "18446744073709551616", EntryKind::File},
               {"d", "1", EntryKind::File}});
  EXPECT_EQ(table.rules(), 4u);
  EXPECT_EQ(hashesOf(table, "a"), (std::vector<std::string>{"0012", "7"}));
  EXPECT_EQ(hashesOf(table, "b"), std::vector<std::string>{huge});
  EXPECT_EQ(hashesOf(table, "c"), std::vector<std::string>{"18446744073709551615"});
  EXPECT_EQ(hashesOf(table, "d"), (std::vector<std::string>{"1", "18446744073709551616"}));

  // A version replaced by another, as the service replaces them.
  table.erase("c", "18446744073709551615");
  EXPECT_EQ(table.rules(), 3u);
  table.put("c", "42", EntryKind::Unknown);
  EXPECT_EQ(hashesOf(table, "c"), std::vector<std::string>{"42"});
  EXPECT_EQ(table.rules(), 4u);

  table.erase("a", "0012");
  table.erase("a", "0012");
  table.erase("a", "7");
  table.erase("b", huge);
  table.erase("nothing", "1");
  EXPECT_EQ(table.rules(), 2u);
  EXPECT_TRUE(hashesOf(table, "a").empty());
  table.put("aa", "5", EntryKind::File);
  table.put("a", "5", EntryKind::File);
  EXPECT_EQ(hashesOf(table, "a"), std::vector<std::string>{"5"});
  EXPECT_EQ(table.rules(), 4u);
}

TEST(VersionTable, ManyRulesComeAndGo) {
  VersionTable table;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 2000; ++i) {
      table.put("rule" + std::to_string(i), std::to_string(round), EntryKind::File);
      if (round > 0) {
        table.erase("rule" + std::to_string(i), std::to_string(round - 1));
      }
    }
  }
  for (int i = 0; i < 2000; i += 2) {
    table.erase("rule" + std::to_string(i), "2");
  }
  EXPECT_EQ(table.rules(), 1000u);
  EXPECT_TRUE(hashesOf(table, "rule0").empty());
  EXPECT_EQ(hashesOf(table, "rule1999"), std::vector<std::string>{"2"});
}

}  // namespace
}  // namespace talvoro
