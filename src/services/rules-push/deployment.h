#pragma once
// Bookkeeping of a deployment: which messages went out, which are answered,
// which are due to go again. No MQTT here; the caller publishes, feeds in
// what the service answers and passes the time.

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
};

class Deployment {
 public:
  using Clock = std::chrono::steady_clock;

  struct Limits {
    Clock::duration timeout;   // for each result
    int retries;               // sends after the first
    std::size_t maxInFlight;   // items sent and not yet answered
  };

  // What to do now: publish `send` (indices into items()); `gaveUp` have no
  // result after their last attempt.
  struct Step {
    std::vector<std::size_t> send;
    std::vector<std::size_t> gaveUp;
  };

  Deployment(std::vector<Item> items, Limits limits);

  const std::vector<Item>& items() const { return items_; }

  // Call while the service listens: first sends up to the in-flight bound,
  // resends of items whose result is overdue, give-ups of those out of
  // attempts. The returned sends count as made at `now`.
  Step due(Clock::time_point now);

  // The service went away or came back: results of what is in flight may
  // never come, so all of it is due to go again.
  void serviceLost();

  // Every unfinished item gives up (the service never became ready).
  std::vector<std::size_t> giveUpAll();

  // The installed rule text of `label` has this CRC (the service's status).
  void noteStatus(const std::string& label, std::uint32_t crc);

  // A result on `resultTopic`. Returns the item it finishes, or nothing when it is
  // not one of ours, not in flight, or carries another CRC.
  std::optional<std::size_t> takeResult(const std::string& resultTopic,
                                        std::optional<std::uint32_t> crc, Outcome outcome);

  const Outcome* outcomeOf(std::size_t index) const;
  bool finished() const { return open_ == 0; }
  // 0, 1 or 3 as documented for the tool (only meaningful once finished).
  int exitStatus() const;
  // "summary: 3 rules; 2 installed, 1 no result" for `noun` "rule".
  std::string summary(const std::string& noun) const;

 private:
  enum class Phase { Waiting, InFlight, Done, GaveUp };
  struct Progress {
    Phase phase = Phase::Waiting;
    int attempts = 0;
    Clock::time_point deadline{};
    Outcome outcome;
  };

  void resendOrGiveUp(std::size_t index, Clock::time_point now, Step& step);
  void finish(std::size_t index, Phase phase);

  std::vector<Item> items_;
  Limits limits_;
  std::vector<Progress> progress_;
  std::unordered_map<std::string, std::size_t> byLabel_;
  std::unordered_map<std::string, std::size_t> byResultTopic_;
  std::unordered_map<std::string, std::uint32_t> statuses_;
  std::size_t nextFirstSend_ = 0;
  std::size_t inFlight_ = 0;
  std::size_t open_ = 0;
};

}  // namespace talvoro::push
