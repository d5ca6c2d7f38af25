#pragma once
// How many rule messages the next batch takes: bounded by count and bytes,
// and by time, the count following what the last batches cost, so that a
// batch's file work ends within a few seconds on any storage.

#include <chrono>
#include <cstddef>

#include "p7/trace.h"

namespace talvoro {

// The receive loop feeds the watchdog and takes a stop only between two
// batches: a batch must end well within both. Its count starts small and
// grows (at most fourfold a batch) toward what the rules replaced so far say
// fits kBatchTime; a batch that takes longer shrinks it at once to what fits.
// That, and batches back at their largest, are said in the trace log.
class BatchLimits {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kMaxMessages = 256;
  static constexpr std::size_t kMaxBytes = 8 * 1024 * 1024;
  static constexpr std::size_t kFirstMessages = 8;
  static constexpr Clock::duration kBatchTime = std::chrono::seconds(2);

  explicit BatchLimits(P7::TraceChannel& trace) : trace_(trace) {}

  std::size_t maxMessages() const { return maxMessages_; }

  // A batch replaced the files of `replaced` rules in `elapsed`.
  void took(std::size_t replaced, Clock::duration elapsed);

 private:
  P7::TraceChannel& trace_;
  std::size_t maxMessages_ = kFirstMessages;
  bool slow_ = false;
};

}  // namespace talvoro
