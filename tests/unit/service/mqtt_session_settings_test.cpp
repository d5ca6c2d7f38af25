// The MQTT session settings the service starts with: what it takes, and what
// it refuses before it starts rather than have the broker refuse it at every
// connection attempt.

#include "mqtt_session_settings.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace talvoro {
namespace {

MqttSessionSettings settingsOf(const std::map<std::string, std::string>& environment) {
  return mqttSessionSettingsFrom([&environment](const char* name) -> const char* {
    const auto found = environment.find(name);
    return found != environment.end() ? found->second.c_str() : nullptr;
  });
}

// The message of the refusal, or a failure when the settings were taken.
std::string refusalOf(const std::map<std::string, std::string>& environment) {
  try {
    settingsOf(environment);
  } catch (const MqttSessionSettingsError& error) {
    return error.what();
  }
  ADD_FAILURE() << "taken";
  return {};
}

TEST(MqttSessionSettings, UnsetOrEmptyIsTheClientOfThisProcessWithACleanSession) {
  for (const auto& environment :
       {std::map<std::string, std::string>{},
        std::map<std::string, std::string>{{"MQTT_CLIENT_ID", ""},
                                           {"MQTT_PERSISTENT_SESSION", ""}},
        std::map<std::string, std::string>{{"MQTT_PERSISTENT_SESSION", "0"}}}) {
    const MqttSessionSettings settings = settingsOf(environment);
    EXPECT_FALSE(settings.persistent);
    EXPECT_EQ(clientIdOf(settings), "regulations_manager_" + std::to_string(getpid()));
    EXPECT_EQ(intakeQos(settings), mosquitto::Qos::AtMostOnce);
  }
}

TEST(MqttSessionSettings, TakesAStableIdentifierWithOrWithoutAPersistentSession) {
  const std::string longest(kMaxClientIdBytes, 'x');
  for (const std::string& id :
       {std::string("controller-17"), std::string("контроллер 17"), longest}) {
    EXPECT_EQ(clientIdOf(settingsOf({{"MQTT_CLIENT_ID", id}})), id);
    const MqttSessionSettings persistent =
        settingsOf({{"MQTT_CLIENT_ID", id}, {"MQTT_PERSISTENT_SESSION", "1"}});
    EXPECT_TRUE(persistent.persistent);
    EXPECT_EQ(clientIdOf(persistent), id);
    EXPECT_EQ(intakeQos(persistent), mosquitto::Qos::AtLeastOnce);
  }
}

TEST(MqttSessionSettings, RefusesAPersistentSessionWithoutAnIdentifier) {
  const std::string refusal =
      "MQTT_PERSISTENT_SESSION=1 needs MQTT_CLIENT_ID: a session kept under the identifier of "
      "one process (regulations_manager_<pid>) is never taken up again";
  EXPECT_EQ(refusalOf({{"MQTT_PERSISTENT_SESSION", "1"}}), refusal);
  EXPECT_EQ(refusalOf({{"MQTT_PERSISTENT_SESSION", "1"}, {"MQTT_CLIENT_ID", ""}}), refusal);
}

TEST(MqttSessionSettings, RefusesASwitchOtherThan0Or1) {
  for (const char* value : {"yes", "true", "2", " 1", "01"}) {
    EXPECT_EQ(refusalOf({{"MQTT_CLIENT_ID", "c"}, {"MQTT_PERSISTENT_SESSION", value}}),
              "MQTT_PERSISTENT_SESSION=\"" + std::string(value) +
                  "\" is not a switch: expected 0 or 1");
  }
}

TEST(MqttSessionSettings, RefusesAnIdentifierThatTheBrokerRefuses) {
  EXPECT_EQ(refusalOf({{"MQTT_CLIENT_ID", std::string(kMaxClientIdBytes + 1, 'x')}}),
            "MQTT_CLIENT_ID=\"" + std::string(64, 'x') +
                "...\" has 65536 bytes; MQTT takes at most 65535");
  EXPECT_EQ(refusalOf({{"MQTT_CLIENT_ID", "tab\there"}}),
            "MQTT_CLIENT_ID=\"tab\\x09here\" holds a control character or a non-character, "
            "which the broker refuses");
  EXPECT_EQ(refusalOf({{"MQTT_CLIENT_ID", "bad\xC3("}}),
            "MQTT_CLIENT_ID=\"bad\\xC3(\" is not well-formed UTF-8, which the broker refuses");
  EXPECT_EQ(refusalOf({{"MQTT_CLIENT_ID", "\xEF\xBF\xBF"}}),
            "MQTT_CLIENT_ID=\"\\xEF\\xBF\\xBF\" holds a control character or a non-character, "
            "which the broker refuses");
}

}  // namespace
}  // namespace talvoro
