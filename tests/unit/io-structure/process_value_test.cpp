#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "talvoro/io_structure.h"

namespace talvoro {
namespace {

using nlohmann::json;

const std::string kTopic = "/devices/relay_7/controls/K2";

IoInfo lamp() {
  IoInfo info;
  info.deviceName = "relay_7";
  info.topicKeys.emplace(kTopic, "K2");
  return info;
}

TEST(IoStructureProcessValue, StoresUnderTheCellAndAppendsOnRepeatedCalls) {
  json out;
  const IoInfo info = lamp();
  info.processValue(out, kTopic, 2.5, 4.0, 1.0);
  EXPECT_EQ(out, json::parse(R"({"K2": {"max": [4.0], "avg": [2.5],
                                        "min": [1.0]}})"));
  info.processValue(out, kTopic, 5.0, 6.0, 4.0);
  EXPECT_EQ(out, json::parse(R"({"K2": {"max": [4.0, 6.0],
                                        "avg": [2.5, 5.0],
                                        "min": [1.0, 4.0]}})"));
}

TEST(IoStructureProcessValue, UnknownTopicThrowsAndLeavesOutputAlone) {
  json out = {{"K2", {{"max", {1.0}}}}};
  const json before = out;
  try {
    lamp().processValue(out, "/devices/relay_7/controls/K9", 1, 1, 1);
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(),
                 "Key by topic \"/devices/relay_7/controls/K9\" not found!");
  }
  EXPECT_EQ(out, before);
}

class ScaledLamp : public IoInfo {
 public:
  mutable std::vector<double> seen;

  double postprocessingValue(const std::string& key, const std::string& topic,
                             double value) const override {
    EXPECT_EQ(key, "K2");
    EXPECT_EQ(topic, kTopic);
    seen.push_back(value);
    return value * 10;
  }
};

TEST(IoStructureProcessValue, PostprocessesMaxThenAvgThenMin) {
  ScaledLamp info;
  info.topicKeys.emplace(kTopic, "K2");
  json out;
  info.processValue(out, kTopic, 2.0, 3.0, 1.0);
  EXPECT_EQ(info.seen, (std::vector<double>{3.0, 2.0, 1.0}));
  EXPECT_EQ(out, json::parse(R"({"K2": {"max": [30.0], "avg": [20.0],
                                        "min": [10.0]}})"));
}

TEST(IoStructureHooks, DefaultsAreIdentityAndOneTarget) {
  const IoInfo info = lamp();
  EXPECT_EQ(info.getTargetSize(kTopic, 7), 1);
  EXPECT_EQ(info.postprocessingValue("K2", kTopic, -3.25), -3.25);
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(info.postprocessingValue("K2", kTopic, inf), inf);
  EXPECT_EQ(info.postprocessingValue("K2", kTopic, -inf), -inf);
  EXPECT_TRUE(std::isnan(info.postprocessingValue(
      "K2", kTopic, std::numeric_limits<double>::quiet_NaN())));
}

}  // namespace
}  // namespace talvoro
