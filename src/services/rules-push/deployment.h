#pragma once
// Bookkeeping of a deployment to one broker: which messages went out, were
// taken by the broker, are answered, are due again. No MQTT, no clock here.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace talvoro::push {

// One message to deploy. `label` is the rule name (or "configuration"); its
// result comes on `resultTopic` and, when `crc` is set, must carry it.
struct Item {
  std::string label;
  std::string topic;
  std::string payload;
  std::string resultTopic;
  std::optional<std::uint32_t> crc;
};

// What the service said about one item.
struct Outcome {
  std::string outcome;
  std::string reason;
  std::string warning = {};  // of a success the publisher should know about
};

// The exit status when every item succeeded and a rule was installed with a
// warning.
inline constexpr int kInstalledWithWarning = 6;

// The outcome counted for an item without one.
inline const std::string kNoResult = "no result";

// The caller publishes what due() returns, feeds in the broker's
// acknowledgements and the service's results, and passes the time.
class Deployment {
 public:
  using Clock = std::chrono::steady_clock;

  struct Limits {
    Clock::duration timeout;   // for each result, from the broker's acknowledgement
    int retries;               // sends after the first
    std::size_t maxInFlight;   // items sent and not yet answered
  };

  // One publication to make now: item `index`, its attempt number `attempt`
  // (to match the broker's acknowledgement with delivered()).
  struct Send {
    std::size_t index;
    int attempt;
  };

  // What to do now: publish `send`; `gaveUp` have no result after their last
  // attempt.
  struct Step {
    std::vector<Send> send;
    std::vector<std::size_t> gaveUp;
  };

  Deployment(std::vector<Item> items, Limits limits);

  const std::vector<Item>& items() const { return items_; }

  // Call while the service listens: first sends up to the in-flight bound,
  // resends of items whose result is overdue, give-ups of those out of
  // attempts. The returned sends count as made at `now`; the timeout of each
  // starts when delivered() or notDelivered() is told of it.
  Step due(Clock::time_point now);

  // The broker acknowledged `attempt` of item `index`: its result is due
  // within the timeout from `now`. Acknowledgements of earlier attempts and
  // of answered items are ignored.
  void delivered(std::size_t index, int attempt, Clock::time_point now);
  // The attempt did not reach the broker: it goes again after the timeout.
  void notDelivered(std::size_t index, int attempt, Clock::time_point now);

  // The service went away or came back: results of what is in flight may
  // never come, so all of it is due to go again.
  void serviceLost();

  // Item `index`, answered already, goes again (the restarted service lost
  // it); its next result replaces the outcome.
  void reopen(std::size_t index);

  // Every unfinished item gives up (the service never became ready, or the
  // user interrupted): their indices, in order.
  std::vector<std::size_t> giveUpAll();

  // A result on `resultTopic`. Returns the item it finishes, or nothing when
  // it is not one of ours, not in flight, or carries another CRC.
  std::optional<std::size_t> takeResult(const std::string& resultTopic,
                                        std::optional<std::uint32_t> crc, Outcome outcome);

  const Outcome* outcomeOf(std::size_t index) const;
  bool finished() const { return open_ == 0; }
  // 0, 1, 3 or 6 as documented for the tool (only meaningful once finished).
  int exitStatus() const;
  // The items given up although the broker acknowledged their last attempt:
  // the service never answered what the broker took.
  std::vector<std::size_t> unansweredAfterAcknowledgement() const;
  // The number of items by outcome, "no result" for those without one.
  std::map<std::string, std::size_t> counts() const;
  // "summary: 3 rules; 2 installed, 1 no result" for `noun` "rule".
  std::string summary(const std::string& noun) const;

 private:
  enum class Phase { Waiting, InFlight, Done, GaveUp };
  struct Progress {
    Phase phase = Phase::Waiting;
    int attempts = 0;
    bool acknowledged = false;  // the current attempt, by the broker
    // Until the broker acknowledged the attempt: never.
    Clock::time_point deadline = Clock::time_point::max();
    Outcome outcome;
  };

  Progress* inFlight(std::size_t index, int attempt);
  void resendOrGiveUp(std::size_t index, Step& step);
  void finish(std::size_t index, Phase phase);

  std::vector<Item> items_;
  Limits limits_;
  std::vector<Progress> progress_;
  std::unordered_map<std::string, std::size_t> byResultTopic_;
  std::size_t nextFirstSend_ = 0;
  std::size_t inFlight_ = 0;
  std::size_t open_ = 0;
};

// "summary: 3 rules; 2 installed, 1 no result": `total` items named `noun`,
// and how many ended with each outcome.
std::string summaryText(const std::string& noun, std::size_t total,
                        const std::map<std::string, std::size_t>& counts);

}  // namespace talvoro::push
