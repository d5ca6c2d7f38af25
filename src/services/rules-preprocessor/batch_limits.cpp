#include "batch_limits.h"

#include <algorithm>

#include "service_trace.h"

namespace talvoro {

void BatchLimits::took(std::size_t replaced, Clock::duration elapsed) {
  if (replaced == 0) {
    return;  // unchanged and refused rules say nothing of the storage
  }
  const Clock::duration perRule = elapsed / static_cast<Clock::rep>(replaced);
  const std::size_t fitting =
      perRule.count() > 0 ? static_cast<std::size_t>(kBatchTime / perRule) : kMaxMessages;
  const bool overran = elapsed > kBatchTime;
  if (overran) {
    maxMessages_ = std::clamp<std::size_t>(fitting, 1, kMaxMessages);
  } else {
    // A batch within its time shrinks nothing: a small one's cost is mostly
    // the directory sync, and says little of a larger one. A few cheap
    // rules vouch for no more than four times as many.
    maxMessages_ = std::clamp<std::size_t>(std::min(fitting, 4 * replaced), maxMessages_,
                                           kMaxMessages);
  }
  // Said once each way: when a batch overran its time, and when batches are
  // back at their largest.
  const long long milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(perRule).count();
  if (!slow_ && overran) {
    slow_ = true;
    TRACE_AS(kClientFunction, trace_, Warning,
             "Хранилище правил работает медленно: %lld мс на правило; в пакете не более %zu "
             "правил",
             milliseconds, maxMessages_);
  } else if (slow_ && maxMessages_ == kMaxMessages) {
    slow_ = false;
    TRACE_AS(kClientFunction, trace_, Info,
             "Хранилище правил снова работает быстро: %lld мс на правило", milliseconds);
  }
}

}  // namespace talvoro
