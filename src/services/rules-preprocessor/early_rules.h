#pragma once
// Rule messages that arrive before the service has an IO structure, held
// until one is accepted.

#include <cstddef>
#include <deque>
#include <optional>

#include "rule_report.h"
#include "service_trace.h"
#include "talvoro/mosquitto/mqtt_async_wrapper.h"

namespace talvoro {

// Rule messages that came before the service had an IO structure. Only a
// persistent session brings any: the broker keeps the subscription to the
// rules topic that an earlier run made, and hands over what it kept for the
// service as soon as it connects, whether or not the service has an IO
// structure (it starts without one when its state store was removed, or the
// kept one is refused). They wait here, in order, until an IO structure is
// accepted, and then go before anything received later, as if they had come
// only then; none is failed for want of an IO structure.
// What waits is bounded as the client's receive queue is: a rule beyond the
// bound fails at once, and its publisher sends it again later.
class EarlyRules {
 public:
  static constexpr std::size_t kMaxBytes = mosquitto::MqttAsyncWrapper::kDefaultReceiveQueueLimit;

  explicit EarlyRules(P7::TraceChannel& trace) : trace_(trace) {}

  // False, and nothing held, when `message` does not fit.
  bool hold(mosquitto::Message& message);
  // Says how many wait, once the first IO structure was accepted.
  void released();
  // The oldest that waits, if any.
  std::optional<mosquitto::Message> take();

 private:
  P7::TraceChannel& trace_;
  std::deque<mosquitto::Message> messages_;
  std::size_t bytes_ = 0;
};

// The report of a rule that came before any IO structure and could not wait
// for one.
RuleReport unheldRule(const mosquitto::Message& message);

}  // namespace talvoro
