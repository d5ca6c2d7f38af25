#pragma once
// The received messages that wait for the consumer, bounded by their bytes,
// and the calls into the MQTT client library that the consumer makes.
//
// The client library's receiving thread admits each message it reads; the
// consumer takes them, in arrival order. When the queue holds its limit,
// admit() waits for room: the receiving thread then reads nothing more from
// its socket, and TCP holds the rest back at the broker. Nothing is handed
// back to the library, so nothing waits there either: a message that waits
// for room is queued as soon as take() made some, and at the latest when the
// admitting thread's time bound ran out (that thread also reads for other
// clients, and reads the broker's answers). The queue may then hold one
// message more than its limit for each such bound that passes without room.
//
// The library keeps its own lock while the receiving thread runs a callback,
// and its calls from any other thread take that lock. A consumer blocked on
// it while admit() waits would never make room; so the consumer hands its
// calls to perform(). They run, one at a time and in the order given: at once
// on the consumer's thread while the queue is at most half full (admit() does
// not wait while such a call is under way, see below); else on the admitting
// thread while that waits for room (the library allows its calls from its
// callbacks and then does not take its lock again); else on a caller thread
// of the queue.
//
// The bound is exceeded only if the receiving thread queues half the limit
// while a call the consumer made on its own thread still waits for the
// library's lock, each message a chance for it to take the lock: then admit()
// queues beyond the limit rather than wait for a consumer that waits for it.
//
// A consumer that sleeps in poll() rather than in take() watches
// activityDescriptor(): it becomes readable when a message arrives at an
// empty queue and whenever signalActivity() is called.
//
// Thread-safe. close() ends every wait; the destructor closes.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace talvoro::mosquitto {

// One received message: the topic and the payload bytes exactly as received
// (any bytes, NUL included).
struct Message {
  std::string topic;
  std::vector<char> payload;
};

class ReceiveQueue {
 public:
  using Clock = std::chrono::steady_clock;
  // A call into the client library; returns the library's return code.
  using Call = std::function<int()>;
  // Receives the return code of a call whose caller stopped waiting for it.
  using LateResult = std::function<void(int)>;
  // Says whether the consumer wants a message on this topic now.
  using TopicFilter = std::function<bool(const std::string& topic)>;

  explicit ReceiveQueue(std::size_t limitBytes);
  ~ReceiveQueue();

  ReceiveQueue(const ReceiveQueue&) = delete;
  ReceiveQueue& operator=(const ReceiveQueue&) = delete;

  // Bytes (payloads and topics) the queue holds before admit() waits; one
  // larger message is still taken into an empty queue.
  void setLimit(std::size_t bytes);

  // For the receiving thread: queues `message`, first waiting for room, at
  // most `maxWait`, and meanwhile running the calls handed to perform().
  // False, without queuing it, once the queue is closed.
  bool admit(Message message, Clock::duration maxWait);

  // For the consumer: removes and returns the oldest message whose topic
  // `wanted` accepts (the others stay queued), waiting until `deadline`
  // (none: without limit) for one; nullopt when none came in time. Once the
  // queue is closed it calls `closed`, which is meant to throw; close() waits
  // until every take() has returned or thrown.
  std::optional<Message> take(const TopicFilter& wanted,
                              std::optional<Clock::time_point> deadline,
                              const std::function<void()>& closed);

  // For the consumer: runs `call` as the class comment says and returns its
  // result. Returns nullopt without it when the caller thread is inside an
  // earlier call while admit() waits for room, since that call may wait for
  // the lock the admitting thread holds: `call` then runs once room was
  // made, and its result goes to `late`. After close(), runs `call` on the
  // calling thread. What `call` throws is rethrown to a caller still waiting.
  // Calls from several threads at once keep no order among each other.
  std::optional<int> perform(Call call, LateResult late);

  // Wakes every waiter: admit() returns false, take() calls `closed`. Runs
  // the calls still queued, then returns once no take() is left.
  void close();

  // An eventfd (non-blocking, close-on-exec) that becomes readable when a
  // message arrives at an empty queue, or on signalActivity(). A consumer
  // reads it (8 bytes) to clear it before it looks at the queue and polls it
  // after. -1 when the system gives none.
  int activityDescriptor() const { return activity_; }
  void signalActivity();
  // For a consumer that sleeps in poll(): waits until activityDescriptor()
  // or `other` (if not negative) is readable, or `timeout` (none: no limit)
  // passed, and clears the activity. True when `other` is readable.
  bool awaitActivity(int other, std::optional<std::chrono::milliseconds> timeout);

  // Messages and bytes queued now, and the most bytes queued so far.
  std::size_t size() const;
  std::size_t bytes() const;
  std::size_t peakBytes() const;

 private:
  struct PendingCall {
    Call call;
    LateResult late;
    std::optional<int> result;
    std::exception_ptr error;
    bool abandoned = false;  // the caller returned without the result
  };
  using CallPtr = std::shared_ptr<PendingCall>;

  bool hasRoom() const;
  bool hasRoomForADirectCall() const;
  bool callerMayBeStuck() const;
  void runFirstCall(std::unique_lock<std::mutex>& lock, bool onCallerThread);
  void callerLoop();

  mutable std::mutex mutex_;
  std::condition_variable queued_;       // a message queued, or closed
  std::condition_variable roomOrCall_;   // room made, a call handed over, or closed
  std::condition_variable callsMoved_;   // a call queued or done, the admitter waits, or closed
  std::condition_variable takersGone_;   // the last take() left after close()
  std::deque<Message> messages_;
  std::size_t bytes_ = 0;
  std::size_t peakBytes_ = 0;
  std::size_t limit_;
  std::deque<CallPtr> calls_;
  bool callRunning_ = false;
  bool callRunningOnCaller_ = false;
  int waitingAdmitters_ = 0;
  int directCalls_ = 0;  // calls running on the consumer's thread
  int activeTakers_ = 0;
  bool closed_ = false;
  std::thread caller_;
  int activity_ = -1;
};

}  // namespace talvoro::mosquitto
