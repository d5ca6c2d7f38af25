#include "talvoro/mosquitto/receive_queue.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <utility>

namespace talvoro::mosquitto {
namespace {

using namespace std::chrono_literals;

// Without an activity descriptor, how often awaitActivity() looks anyway.
constexpr auto kActivityFallback = 200ms;

std::size_t footprint(const Message& message) {
  return message.topic.size() + message.payload.size();
}

}  // namespace

ReceiveQueue::ReceiveQueue(std::size_t limitBytes)
    : limit_(limitBytes), activity_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

ReceiveQueue::~ReceiveQueue() {
  close();
  if (activity_ >= 0) {
    ::close(activity_);
  }
}

void ReceiveQueue::signalActivity() {
  if (activity_ >= 0) {
    const std::uint64_t one = 1;
    // Fails only when the counter is full, which is readable as well.
    [[maybe_unused]] const ssize_t written = ::write(activity_, &one, sizeof one);
  }
}

void ReceiveQueue::setLimit(std::size_t bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    limit_ = bytes;
  }
  roomOrCall_.notify_all();
}

bool ReceiveQueue::awaitActivity(int other, std::optional<std::chrono::milliseconds> timeout) {
  if (activity_ < 0) {
    timeout = std::min<std::chrono::milliseconds>(timeout.value_or(kActivityFallback),
                                                  kActivityFallback);
  }
  pollfd watched[2] = {{activity_, POLLIN, 0}, {other, POLLIN, 0}};
  const int timeoutMs = timeout ? static_cast<int>(std::max<long long>(timeout->count(), 0)) : -1;
  int ready = 0;
  do {
    ready = ::poll(watched, 2, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  // Cleared now, before the consumer looks at the queue and the link again.
  if (ready > 0 && (watched[0].revents & POLLIN) != 0) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(activity_, &count, sizeof count);
  }
  return ready > 0 && (watched[1].revents & POLLIN) != 0;
}

bool ReceiveQueue::hasRoom() const { return messages_.empty() || bytes_ < limit_; }

// So much room that the arrival will not wait before a call made now has
// got past the library's lock: it could do so only after reading half the
// limit meanwhile, each message a chance for the call to take the lock.
bool ReceiveQueue::hasRoomForADirectCall() const {
  return !closed_ && calls_.empty() && !callRunning_ && waitingAdmitters_ == 0 &&
         bytes_ <= limit_ / 2;
}

// The running call is on the caller thread and may wait for the library's
// lock, which a waiting admitter holds.
bool ReceiveQueue::callerMayBeStuck() const {
  return callRunningOnCaller_ && waitingAdmitters_ > 0;
}

bool ReceiveQueue::admit(Message message, Clock::duration maxWait) {
  std::unique_lock<std::mutex> lock(mutex_);
  const Clock::time_point deadline = Clock::now() + maxWait;
  // A direct call may be waiting for the library's lock that this thread
  // holds: then the message is queued beyond the limit rather than wait.
  while (!closed_ && !hasRoom() && directCalls_ == 0) {
    if (!calls_.empty() && !callRunning_) {
      runFirstCall(lock, false);
      continue;
    }
    if (Clock::now() >= deadline) {
      break;
    }
    ++waitingAdmitters_;
    callsMoved_.notify_all();
    roomOrCall_.wait_until(lock, deadline);
    --waitingAdmitters_;
  }
  if (!calls_.empty()) {
    callsMoved_.notify_all();  // the caller thread takes over
  }
  if (closed_) {
    return false;
  }
  const bool wasEmpty = messages_.empty();
  bytes_ += footprint(message);
  peakBytes_ = std::max(peakBytes_, bytes_);
  messages_.push_back(std::move(message));
  lock.unlock();
  queued_.notify_all();
  if (wasEmpty) {
    signalActivity();
  }
  return true;
}

std::optional<Message> ReceiveQueue::take(const TopicFilter& wanted,
                                          std::optional<Clock::time_point> deadline,
                                          const std::function<void()>& closed) {
  std::unique_lock<std::mutex> lock(mutex_);
  ++activeTakers_;
  struct Leave {
    ReceiveQueue& queue;
    ~Leave() {
      if (--queue.activeTakers_ == 0 && queue.closed_) {
        queue.takersGone_.notify_all();
      }
    }
  } leave{*this};  // declared after the lock: runs while it is still held

  auto match = messages_.end();
  const auto ready = [&] {
    match = std::find_if(messages_.begin(), messages_.end(),
                         [&](const Message& message) { return wanted(message.topic); });
    return closed_ || match != messages_.end();
  };
  if (!deadline) {
    queued_.wait(lock, ready);
  } else if (!queued_.wait_until(lock, *deadline, ready)) {
    return std::nullopt;
  }
  if (closed_) {
    closed();
    return std::nullopt;
  }
  Message message = std::move(*match);
  messages_.erase(match);
  bytes_ -= footprint(message);
  roomOrCall_.notify_all();
  return message;
}

std::optional<int> ReceiveQueue::perform(Call call, LateResult late) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (closed_) {
    lock.unlock();
    return call();
  }
  if (hasRoomForADirectCall()) {
    ++directCalls_;
    lock.unlock();
    struct Done {
      ReceiveQueue& queue;
      ~Done() {
        std::lock_guard<std::mutex> held(queue.mutex_);
        --queue.directCalls_;
      }
    } done{*this};
    return call();
  }
  auto pending = std::make_shared<PendingCall>();
  pending->call = std::move(call);
  pending->late = std::move(late);
  if (!caller_.joinable()) {
    caller_ = std::thread([this] { callerLoop(); });
  }
  calls_.push_back(pending);
  roomOrCall_.notify_all();
  callsMoved_.notify_all();
  callsMoved_.wait(lock, [&] {
    return pending->result || pending->error || callerMayBeStuck();
  });
  if (pending->error) {
    std::rethrow_exception(pending->error);
  }
  if (!pending->result) {
    pending->abandoned = true;
  }
  return pending->result;
}

// Runs the first queued call with the lock released. Calls on one thread at
// a time, so they keep their order.
void ReceiveQueue::runFirstCall(std::unique_lock<std::mutex>& lock, bool onCallerThread) {
  const CallPtr pending = std::move(calls_.front());
  calls_.pop_front();
  callRunning_ = true;
  callRunningOnCaller_ = onCallerThread;
  lock.unlock();
  int result = 0;
  std::exception_ptr error;
  try {
    result = pending->call();
  } catch (...) {
    error = std::current_exception();
  }
  lock.lock();
  callRunning_ = false;
  callRunningOnCaller_ = false;
  pending->result = result;
  pending->error = error;
  callsMoved_.notify_all();
  roomOrCall_.notify_all();
  if (pending->abandoned && !error && pending->late) {
    lock.unlock();
    try {
      pending->late(result);
    } catch (...) {
      // Nobody to tell; the late handler reports what it can itself.
    }
    lock.lock();
  }
}

void ReceiveQueue::callerLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    callsMoved_.wait(lock, [this] {
      return (closed_ && calls_.empty()) ||
             (!calls_.empty() && !callRunning_ && waitingAdmitters_ == 0);
    });
    if (calls_.empty()) {
      return;
    }
    runFirstCall(lock, true);
  }
}

void ReceiveQueue::close() {
  std::unique_lock<std::mutex> lock(mutex_);
  closed_ = true;
  queued_.notify_all();
  roomOrCall_.notify_all();
  callsMoved_.notify_all();
  takersGone_.wait(lock, [this] { return activeTakers_ == 0; });
  std::thread caller = std::move(caller_);
  lock.unlock();
  if (caller.joinable()) {
    caller.join();
  }
}

std::size_t ReceiveQueue::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_.size();
}

std::size_t ReceiveQueue::bytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bytes_;
}

std::size_t ReceiveQueue::peakBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peakBytes_;
}

}  // namespace talvoro::mosquitto
