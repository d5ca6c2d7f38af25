#pragma once
// The MQTT session of rules-push with one controller's service, over the
// link to the broker it is behind: the service's announced state, what it
// answers, what the broker acknowledged.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "broker_link.h"
#include "controller.h"
#include "deployment.h"

namespace talvoro::push {

// A message from the service, other than its state.
struct Incoming {
  enum class Kind { RuleResult, ConfigurationResult, Status, Inventory } kind;
  std::string topic;  // without the controller's prefix
  std::string ruleName;  // RuleResult and Status
  std::string payload;
};

// Subscribes at construction to what the purpose needs, on the shared link.
class ServiceSession {
 public:
  enum class Purpose { Deploy, Check, List };

  ServiceSession(std::shared_ptr<BrokerLink> link, const Controller& controller,
                 Purpose purpose);

  const std::string& broker() const { return link_->broker(); }
  const Controller& controller() const { return controller_; }
  const Topics& topics() const { return topics_; }

  // The states in which the service takes what is being deployed now.
  void accept(const std::set<std::string>& states) { accepted_ = states; }
  // True when the service takes messages now and we hear its answers.
  bool accepting() const;
  // True while the broker is connected.
  bool connected() const { return link_->client().Link().connected; }
  // Counts the connections made so far.
  std::uint64_t connection() const { return link_->client().Link().connection; }

  // The last state heard on the current connection, "" when none.
  std::string state() const;
  // Counts the state messages heard; a state heard after a result has a
  // larger number than the count at the result's time.
  std::uint64_t stateSerial() const { return stateSerial_; }
  // Counts the times the service (or our link to it) came into an accepting
  // state: a change means messages in flight before may be lost.
  std::uint64_t acceptances() const { return enteredAccepting_; }

  // Why nothing is taken now, for a message: the link's trouble, or the
  // service's state.
  std::string unavailability() const;
  // The broker's refusal of our login (bad user name or password, not
  // authorised, ...), which trying again does not mend; nothing otherwise.
  std::optional<std::string> refusal() const { return link_->refusal(); }

  // What arrived within `wait` (states are taken in here).
  std::vector<Incoming> receive(std::chrono::milliseconds wait);

  // Publishes `item` with QoS 1; its delivery report names `deployment`,
  // `index` and `attempt`. A refusal (the client's buffer is full) is
  // reported as not delivered.
  void publish(const Item& item, int deployment, std::size_t index, int attempt);
  // The delivery reports that came since the last call.
  std::vector<DeliveryReport> takeDeliveries();

  // --check: subscribes to the status of `name`; then markStatuses() asks for
  // the retained state, which the broker sends after the statuses of every
  // subscription made before. False when the link is down.
  bool subscribeStatus(const std::string& name);
  bool markStatuses();

  // True once the broker granted the subscription to the inventory's
  // answers on the current connection: a request made now is answered to us.
  bool hearsInventory() const;
  // Asks the service for its inventory with request id `request`.
  void requestInventory(const std::string& request);

 private:
  void noteState(const std::string& state);
  bool subscribe(const std::string& filter);

  std::shared_ptr<BrokerLink> link_;
  Controller controller_;
  Topics topics_;
  std::shared_ptr<Inbox> inbox_;
  std::set<std::string> accepted_;
  std::vector<std::string> subscriptions_;
  std::string state_;
  std::uint64_t stateConnection_ = 0;
  std::uint64_t stateSerial_ = 0;
  std::uint64_t enteredAccepting_ = 0;
};

}  // namespace talvoro::push
