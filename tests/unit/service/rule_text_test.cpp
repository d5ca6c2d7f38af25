// Placeholder translation and rule timestamps.

#include "rule_text.h"

#include "service_test_support.h"

namespace talvoro {
namespace {

using servicetest::TraceCapture;

constexpr const char* kStructure = R"json({
  "templates": { "two": { "cells": ["K1", "K5"] } },
  "elements": {
    "lamp1": { "device": "relay_7", "virtualDevice": "kitchen_light", "port": 3, "cells": ["K2"] },
    "fan2": { "device": "relay_9", "template": "two" },
    "bare": { "device": "" },
    "minus": { "port": -12 },
    "tricky": { "device": "$1 \\0 $& DEVICE_NAME(lamp1)", "cells": ["a"] },
    "under_score_9": { "device": "u9" }
  }
})json";

class TranslateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TemplateCacheCleanupGuard guard{false};
    structure_ = parseIoStructure<IoInfo>(nlohmann::json::parse(kStructure), guard, false);
    trace_.skipToEnd();
  }

  std::string translate(std::string text) const {
    return talvoro::translate(std::move(text), structure_);
  }

  TraceCapture trace_;
  IoStructure structure_;
};

TEST_F(TranslateTest, ResolvesEveryKindOfPlaceholder) {
  EXPECT_EQ(translate("when DEVICE_NAME(lamp1)/PORT_NAME(lamp1) changes, set "
                      "VIRTUAL_DEVICE_NAME(lamp1)/CELL_NAME(lamp1)"),
            "when relay_7/3 changes, set kitchen_light/K2");
  EXPECT_EQ(translate("PORT_NAME(minus)"), "-12");
  EXPECT_EQ(translate("[DEVICE_NAME(bare)]"), "[]");
  EXPECT_EQ(translate("xDEVICE_NAME(lamp1)y"), "xrelay_7y");
  EXPECT_EQ(translate("DEVICE_NAME(under_score_9)"), "u9");
  EXPECT_EQ(trace_.countNew("INFO"), 0u);
}

TEST_F(TranslateTest, NamesEachPlaceholderThatResolvedToNothingOnce) {
  std::vector<std::string> notes;
  EXPECT_EQ(talvoro::translate("DEVICE_NAME(bare) VIRTUAL_DEVICE_NAME(fan2) PORT_NAME(fan2) "
                               "PORT_NAME(minus) DEVICE_NAME(lamp1) PORT_NAME(fan2) "
                               "DEVICE_NAME(minus)",
                               structure_, &notes),
            "  0 -12 relay_7 0 ");
  EXPECT_EQ(notes, (std::vector<std::string>{
                       "DEVICE_NAME(bare) is \"\": the element's \"device\" is empty",
                       "VIRTUAL_DEVICE_NAME(fan2) is \"\": the element has no \"virtualDevice\"",
                       "PORT_NAME(fan2) is 0: the element has no \"port\"",
                       "DEVICE_NAME(minus) is \"\": the element has no \"device\"",
                   }));
}

TEST_F(TranslateTest, LeavesTextWithoutPlaceholdersByteForByte) {
  EXPECT_EQ(translate(""), "");
  const std::string binary("a\0b\r\n\xff DEVICE_NAME", 15);
  EXPECT_EQ(translate(binary), binary);
}

TEST_F(TranslateTest, LeavesNearMissesAlone) {
  for (const std::string text :
       {"device_name(lamp1)", "Device_Name(lamp1)", "DEVICE_NAME()",
        "DEVICE_NAME(lamp 1)", "DEVICE_NAME(lamp-1)", "DEVICE_NAME(lamp.1)",
        "DEVICE_NAME( lamp1 )", "DEVICE_NAME(lämp1)", "DEVICE_NAMES(lamp1)"}) {
    EXPECT_EQ(translate(text), text);
  }
}

TEST_F(TranslateTest, VirtualDeviceIsTakenAsAWholeNotAsADevicePlaceholder) {
  EXPECT_EQ(translate("VIRTUAL_DEVICE_NAME(lamp1)"), "kitchen_light");
}

TEST_F(TranslateTest, OnlyTheInnerOfNestedPlaceholdersMatches) {
  EXPECT_EQ(translate("DEVICE_NAME(CELL_NAME(lamp1))"), "DEVICE_NAME(K2)");
}

TEST_F(TranslateTest, InsertsReplacementsLiterallyAndDoesNotRescanThem) {
  EXPECT_EQ(translate("DEVICE_NAME(tricky)"), "$1 \\0 $& DEVICE_NAME(lamp1)");
}

TEST_F(TranslateTest, KeysAreCaseSensitive) {
  EXPECT_THROW(
      {
        try {
          translate("DEVICE_NAME(LAMP1)");
        } catch (const std::runtime_error& error) {
          EXPECT_STREQ(error.what(), "Parse error!");
          throw;
        }
      },
      std::runtime_error);
}

TEST_F(TranslateTest, OneUnresolvablePlaceholderFailsTheWholeText) {
  EXPECT_THROW(translate("set DEVICE_NAME(lamp1) and DEVICE_NAME(lamp9)"),
               std::runtime_error);
  EXPECT_THROW(translate("CELL_NAME(lamp1) PORT_NAME(nothing)"), std::runtime_error);
  EXPECT_THROW(translate("VIRTUAL_DEVICE_NAME(nothing)"), std::runtime_error);
  EXPECT_EQ(trace_.countNew("ERROR"), 0u);
}

TEST_F(TranslateTest, ElementWithSeveralCellsWarnsOnEveryOccurrence) {
  const std::string result = translate("CELL_NAME(fan2) CELL_NAME(fan2)");
  EXPECT_TRUE(result == "K1 K1" || result == "K5 K5") << result;
  EXPECT_EQ(trace_.countNew(
                "WARNING src/services/rules-preprocessor/main.cpp:"),
            2u);
  EXPECT_NE(trace_.text().find(
                "operator()(): Количество ячеек для fan2 больше одной. Наугад выберу первую."),
            std::string::npos);
}

TEST_F(TranslateTest, ElementWithoutCellsIsAnErrorAndTraced) {
  EXPECT_THROW(translate("ok DEVICE_NAME(lamp1), CELL_NAME(bare)"), std::runtime_error);
  EXPECT_EQ(trace_.countNew("ERROR"), 1u);
  EXPECT_NE(trace_.text().find("operator()(): Ячеек для bare нет вообще. Что делать?"),
            std::string::npos);
}

TEST(ExtractEpochTsOrZero, ReadsTheTimestampLine) {
  EXPECT_EQ(extractEpochTsOrZero("// 1733550000\nrule"), 1733550000);
  EXPECT_EQ(extractEpochTsOrZero(" \t//\t1733550000 \t\r\nrule"), 1733550000);
  EXPECT_EQ(extractEpochTsOrZero("//1733550000"), 1733550000);
  EXPECT_EQ(extractEpochTsOrZero("// 0000000000\n// 1733550000"), 0);
  EXPECT_EQ(extractEpochTsOrZero("a\nb\n// 99999999999\n// 1733550000"), 99999999999);
}

TEST(ExtractEpochTsOrZero, IgnoresLinesThatAreNotTimestampLines) {
  EXPECT_EQ(extractEpochTsOrZero(""), 0);
  EXPECT_EQ(extractEpochTsOrZero("// version 1733550000"), 0);
  EXPECT_EQ(extractEpochTsOrZero("// 173355000"), 0);
  EXPECT_EQ(extractEpochTsOrZero("/* 1733550000 */"), 0);
  EXPECT_EQ(extractEpochTsOrZero("x = 1; // 1733550000"), 0);
}

TEST(ExtractEpochTsOrZero, SearchesOnlyTheFirstTenLines) {
  const std::string tenLines = "1\n2\n3\n4\n5\n6\n7\n8\n9\n";
  EXPECT_EQ(extractEpochTsOrZero(tenLines + "// 1733550000"), 1733550000);
  EXPECT_EQ(extractEpochTsOrZero(tenLines + "10\n// 1733550000"), 0);
}

TEST(ExtractEpochTsOrZero, SkipsNumbersBeyondSixtyFourBits) {
  EXPECT_EQ(extractEpochTsOrZero("// 12345678901234567890\n// 1733550000\n"),
            1733550000);
}

TEST(ExtractEpochTsOrZero, SurvivesHugeLines) {
  const std::string spaces = "//" + std::string(4 << 20, ' ') + "1733550000";
  EXPECT_EQ(extractEpochTsOrZero(spaces), 0);
  const std::string digits = "// " + std::string(4 << 20, '1');
  EXPECT_EQ(extractEpochTsOrZero(digits + "\n// 1733550000"), 1733550000);
}

}  // namespace
}  // namespace talvoro
