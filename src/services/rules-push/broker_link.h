#pragma once
// One connection of rules-push to a broker, shared by every controller
// behind that broker: each controller's messages (its topics under its
// prefix) and the broker's acknowledgements of its publications go to an
// inbox of its own.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "talvoro/mosquitto/mqtt_async_wrapper.h"

namespace talvoro::push {

// The broker's answer to one publication: the caller's deployment number,
// item and attempt, and whether the broker took it.
struct DeliveryReport {
  int deployment;
  std::size_t index;
  int attempt;
  bool delivered;
};

// What came for one controller; filled by the link's dispatcher thread and
// the library's delivery callbacks, emptied by the controller's run.
class Inbox {
 public:
  void put(mosquitto::Message message);
  void put(const DeliveryReport& report);
  // The messages that came within `wait` (at once when some are queued).
  std::vector<mosquitto::Message> take(std::chrono::milliseconds wait);
  std::vector<DeliveryReport> takeDeliveries();

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<mosquitto::Message> messages_;
  std::vector<DeliveryReport> deliveries_;
};

class BrokerLink {
 public:
  // Connects at once and keeps reconnecting. Throws MqttError for
  // credentials that cannot be read. Link trouble goes to standard error,
  // one line each, naming the broker; a refused login is left to the runs.
  BrokerLink(const std::string& broker, const std::optional<mosquitto::Login>& login);
  ~BrokerLink();

  BrokerLink(const BrokerLink&) = delete;
  BrokerLink& operator=(const BrokerLink&) = delete;

  const std::string& broker() const { return broker_; }
  mosquitto::MqttAsyncWrapper& client() { return client_; }
  const mosquitto::MqttAsyncWrapper& client() const { return client_; }

  // The inbox of the controller behind `prefix` ("" for none): every message
  // whose topic is one of the service's topics under it. Messages of no
  // controller are dropped.
  std::shared_ptr<Inbox> attach(const std::string& prefix);

  // The broker's refusal of our login, which trying again does not mend;
  // nothing otherwise.
  std::optional<std::string> refusal() const;
  // The wrapper's text without the broker it starts with.
  std::string withoutBroker(const std::string& text) const;

 private:
  void dispatch();
  void route(mosquitto::Message message);

  std::string broker_;
  mosquitto::MqttAsyncWrapper client_;
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<Inbox>> inboxes_;  // by prefix
  bool stopping_ = false;
  std::thread dispatcher_;
};

}  // namespace talvoro::push
