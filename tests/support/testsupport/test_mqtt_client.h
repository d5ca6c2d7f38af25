#pragma once

#include <MQTTClient.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace testsupport {

// One message as the test client received it.
struct Received {
  std::string topic;
  std::string payload;  // any bytes, NUL included
  bool retained = false;
};

// An MQTT client for tests that is independent of the service's own client:
// it is built on Paho's synchronous C API (MQTT 3.1.1, clean session, no
// reconnect). Messages arrive on the library's thread and wait in a queue
// for waitMessage(). Failures throw std::runtime_error with the library's
// error text.
class TestMqttClient {
 public:
  TestMqttClient() = default;
  ~TestMqttClient();

  TestMqttClient(const TestMqttClient&) = delete;
  TestMqttClient& operator=(const TestMqttClient&) = delete;

  // Connects to `url` (e.g. "tcp://127.0.0.1:1883"); blocks until the broker
  // accepted the connection.
  void connect(const std::string& url, const std::string& clientId);
  // Subscribes and waits for the broker's acknowledgement.
  void subscribe(const std::string& filter, int qos = 0);
  // Publishes; with qos > 0 waits until the broker acknowledged the message.
  void publish(const std::string& topic, const std::string& payload,
               int qos = 0, bool retained = false);

  // The oldest message not yet taken, waiting at most `timeout` for one.
  std::optional<Received> waitMessage(std::chrono::milliseconds timeout);

 private:
  static int onMessage(void* context, char* topic, int topicLen,
                       MQTTClient_message* message);
  static void onDelivered(void* context, MQTTClient_deliveryToken token);
  void close() noexcept;

  MQTTClient client_ = nullptr;
  std::string url_;
  std::mutex mutex_;
  std::condition_variable changed_;  // a message arrived or was delivered
  std::deque<Received> queue_;
  std::set<MQTTClient_deliveryToken> delivered_;
};

}  // namespace testsupport
