#include "broker_link.h"

#include <fmt/format.h>
#include <unistd.h>

#include <iostream>
#include <random>
#include <utility>

namespace talvoro::push {
namespace {

namespace mqtt = talvoro::mosquitto;

// How often the dispatcher looks whether it is to stop.
constexpr std::chrono::milliseconds kDispatchWait{50};
// CONNACK return code that a later attempt may not get again.
constexpr int kServerUnavailable = 3;
// Where the service's topics start after the prefix.
const std::string kServiceRoot = "/tl/bridge/";

// Unique among instances on any host: the process id and 64 random bits.
std::string clientIdentifier() {
  std::random_device random;
  const std::uint64_t bits = (std::uint64_t{random()} << 32) | random();
  return fmt::format("rules-push-{}-{:016x}", getpid(), bits);
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

void Inbox::put(mqtt::Message message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(std::move(message));
  }
  arrived_.notify_all();
}

void Inbox::put(const DeliveryReport& report) {
  std::lock_guard<std::mutex> lock(mutex_);
  deliveries_.push_back(report);
}

std::vector<mqtt::Message> Inbox::take(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  arrived_.wait_for(lock, wait, [this] { return !messages_.empty(); });
  std::vector<mqtt::Message> taken(std::make_move_iterator(messages_.begin()),
                                   std::make_move_iterator(messages_.end()));
  messages_.clear();
  return taken;
}

std::vector<DeliveryReport> Inbox::takeDeliveries() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(deliveries_, {});
}

BrokerLink::BrokerLink(const std::string& broker, const std::optional<mqtt::Login>& login)
    : broker_(broker), client_(clientIdentifier(), broker, login) {
  client_.SetEventListener([this](const mqtt::LinkEvent& event) {
    if (event.kind != mqtt::LinkEvent::Kind::Connected && !refusal()) {
      std::cerr << "rules-push: " + event.text + "\n" << std::flush;
    }
  });
  client_.Connect(true, nullptr, nullptr);
  dispatcher_ = std::thread([this] { dispatch(); });
}

BrokerLink::~BrokerLink() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  dispatcher_.join();
}

std::shared_ptr<Inbox> BrokerLink::attach(const std::string& prefix) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Inbox>& inbox = inboxes_[prefix];
  if (!inbox) {
    inbox = std::make_shared<Inbox>();
  }
  return inbox;
}

std::optional<std::string> BrokerLink::refusal() const {
  const mqtt::LinkState link = client_.Link();
  if (link.connected || link.refusedWith == 0 || link.refusedWith == kServerUnavailable) {
    return std::nullopt;
  }
  return withoutBroker(link.lastFailure);
}

std::string BrokerLink::withoutBroker(const std::string& text) const {
  return startsWith(text, broker_ + ": ") ? text.substr(broker_.size() + 2) : text;
}

void BrokerLink::dispatch() {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) {
        return;
      }
    }
    client_.AwaitActivity(-1, kDispatchWait);
    while (std::optional<mqtt::Message> message = client_.TryReceive("#", {})) {
      route(std::move(*message));
    }
  }
}

// The service's topics follow the prefix, so that "<prefix>/tl/bridge/..."
// belongs to the controller of that prefix alone.
void BrokerLink::route(mqtt::Message message) {
  const std::size_t root = message.topic.find(kServiceRoot);
  if (root == std::string::npos) {
    return;
  }
  std::shared_ptr<Inbox> inbox;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // A prefix may itself hold "/tl/bridge/": the first match that names a
    // controller wins, searching from the left.
    for (std::size_t at = root; at != std::string::npos && !inbox;
         at = message.topic.find(kServiceRoot, at + 1)) {
      const auto found = inboxes_.find(message.topic.substr(0, at));
      if (found != inboxes_.end()) {
        inbox = found->second;
      }
    }
  }
  if (inbox) {
    inbox->put(std::move(message));
  }
}

}  // namespace talvoro::push
