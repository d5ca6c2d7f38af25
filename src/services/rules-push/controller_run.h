#pragma once
// One controller's part of a rules-push run: deploys the rules over its
// session (and prunes), or plans from its inventory (--check), or lists it
// (--list), and reports each outcome.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "deployment.h"
#include "inventory_plan.h"
#include "inventory_reader.h"
#include "push_options.h"
#include "report.h"
#include "service_session.h"

namespace talvoro::push {

// Rules published to one controller and not answered yet, at most: enough
// to keep the service's batches full.
inline constexpr std::size_t kMaxInFlight = 100;
// The same over every controller behind one connection, at most: the broker
// queues at most 1000 messages for a subscriber (mosquitto's
// max_queued_messages) and drops the rest, so the results of what is in
// flight, the states and the inventories must fit together.
inline constexpr std::size_t kLinkInFlight = 500;

// Each controller's share of its connection's in-flight bound, with
// `controllers` behind the busiest connection.
std::size_t inFlightShare(std::size_t controllers);

// What to do on every controller; the texts as they are to be published.
struct Plan {
  std::optional<std::string> configurationFile;  // as given, for the output
  std::string configuration;                     // its text
  std::vector<RuleFile> rules;
  std::chrono::milliseconds timeout;
  int retries;
  bool check;
  bool list = false;
  Pruning pruning = {};
  std::optional<std::string> signKey = {};  // to sign the removals of --prune
  std::chrono::milliseconds deadline{};  // for the whole run on one controller
  std::size_t inFlight = kMaxInFlight;   // rules (or statuses) at a time, per controller
};

// How long a run waits for messages before it looks at the time again.
inline constexpr std::chrono::milliseconds kPollInterval{20};

// The items that publish `rules` (local topics, without a prefix).
std::vector<Item> ruleItems(const std::vector<RuleFile>& rules);
// "1.5 s".
std::string secondsText(std::chrono::milliseconds duration);

class ControllerRun {
 public:
  // `stopSignal` becomes non-zero when the user interrupts the run.
  ControllerRun(std::unique_ptr<ServiceSession> session, const Plan& plan, Reporter& reporter,
                const std::atomic<int>& stopSignal);

  // Runs to the end, until stopSignal is set, or until the plan's deadline,
  // reporting each outcome (the items left then as "no result" with the
  // reason) and the summary. Returns the controller's exit status: 0, 1, 3,
  // 4 (--check) or 5 (login refused). Destroys the session before it
  // returns, so that runs in parallel also end in parallel.
  int run();
  // Whether the stop signal ended the run before it was done.
  bool interrupted() const { return interrupted_; }

 private:
  using Clock = std::chrono::steady_clock;
  enum class Phase { Configuration, Rules };
  enum class End { No, Interrupted, Refused, TimedOut, NoStructure, Deadline, TwoServices };
  // The inventory, or why there is none.
  struct InventoryAnswer {
    std::optional<Inventory> inventory;
    End end = End::No;
  };
  // A publication the broker has not acknowledged yet: deployment number,
  // item, attempt.
  using Unacknowledged = std::tuple<int, std::size_t, int>;

  int deployAndPrune();
  // Deploys `items`, after the configuration with `withConfiguration`; the
  // summary counts them as `noun`s.
  int deploy(std::vector<Item> items, bool withConfiguration, const std::string& noun);
  int prune();
  int check();
  int checkStatuses();
  int list();
  // Asks for the inventory and waits for its pages (and a moment more, to
  // hear a second service answer).
  InventoryAnswer fetchInventory();
  // Ends the run's items that have no result, with the reason of `end`.
  std::string whyNoResult(End end) const;
  // The inventory probe of a deployment: sent once the link hears answers;
  // two services answering it is a fault.
  void probeInventory();
  bool twoServicesAnswer() const;
  // The probe has its answer, or none will come: a deployment may end.
  bool probeSettled();
  // Whether the run must end now; `available`: the broker (and, deploying,
  // the service) takes what is due. `what` names it for the timeout message.
  End mustEnd(bool available, const std::string& what);
  // Why nothing is taken now: the broker's silence, or the session's reason.
  std::string unavailability() const;
  // True when publications wait for the broker's acknowledgement and none
  // came for the timeout: a frozen broker, or a link gone without a word.
  bool brokerSilent(Clock::time_point now) const;
  bool serviceWithoutStructure();
  void hintAtMessageSize(const Deployment& rules) const;
  void handle(const Incoming& incoming, Deployment* configuration, Deployment& rules);
  void takeDeliveries(Deployment* configuration, Deployment& rules);
  std::optional<int> configurationFinished(Deployment& configuration, const Deployment& rules);
  bool serviceRestarted(Deployment* configuration, Deployment& rules);
  End step(Deployment& current);
  int finishDeployment(End end, Deployment* configuration, Deployment& rules);
  void advance(Deployment& deployment, int number);
  // --check: the rules whose statuses are asked for now.
  struct Batch {
    std::vector<std::size_t> indices;
    std::uint64_t markerNeeded = 0;  // the state serial that ends the batch
    Clock::time_point markedAt;
  };
  void subscribeBatch(Deployment& statuses, Batch& batch);
  void concludeBatchWhenMarked(Deployment& statuses, Batch& batch);
  void report(const Deployment& deployment, std::size_t index);
  void reportAll(const Deployment& deployment, const std::vector<std::size_t>& indices);
  void reportPlan(const std::vector<PlanLine>& lines);
  void say(const std::string& text) const;

  std::unique_ptr<ServiceSession> session_;
  const Plan& plan_;
  Reporter& reporter_;
  const std::atomic<int>& stopSignal_;
  bool interrupted_ = false;
  const Deployment* configuration_ = nullptr;  // for report(); null without one
  int rulesNumber_ = 0;                        // the deployment number of the items
  std::string noResultReason_;                 // for the lines of items given up
  std::optional<InventoryReader> probe_;
  std::uint64_t probedOn_ = 0;                 // the connection the probe went on
  Clock::time_point probedAt_;
  std::optional<Clock::time_point> probeCompleteAt_;
  std::map<std::string, std::size_t> planCounts_;  // --check: by verdict
  std::string noun_ = "rule";
  Phase phase_ = Phase::Rules;
  bool configurationReported_ = false;
  std::uint64_t configurationSerial_ = 0;  // the state serial at its last result
  Clock::time_point unavailableSince_;
  Clock::time_point deadlineAt_;
  std::map<Unacknowledged, Clock::time_point> unacknowledged_;  // -> when sent
  Clock::time_point lastAcknowledgement_;
  std::uint64_t acceptances_ = 0;
  bool toldNoMarker_ = false;
  std::unordered_map<std::string, std::uint32_t> statuses_;  // --check: heard so far
};

}  // namespace talvoro::push
