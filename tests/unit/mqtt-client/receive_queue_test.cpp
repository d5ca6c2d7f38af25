#include "talvoro/mosquitto/receive_queue.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using talvoro::mosquitto::Message;
using talvoro::mosquitto::ReceiveQueue;

// Generous: only a broken queue makes a test wait this long.
constexpr auto kPatience = 10s;
// An arrival's bound on its wait for room that no test reaches.
constexpr ReceiveQueue::Clock::duration kUnbounded = std::chrono::hours(1);

Message message(const std::string& topic, const std::string& text) {
  return Message{topic, std::vector<char>(text.begin(), text.end())};
}

std::string text(const Message& message) {
  return std::string(message.payload.begin(), message.payload.end());
}

const ReceiveQueue::TopicFilter kAny = [](const std::string&) { return true; };

std::optional<Message> takeAny(ReceiveQueue& queue, std::chrono::milliseconds wait = kPatience) {
  return queue.take(kAny, ReceiveQueue::Clock::now() + wait,
                    [] { throw std::runtime_error("closed"); });
}

// Stands in for the client library: a lock that every call takes, except on
// the thread that holds it while running the library's callback (admit).
class FakeLibrary {
 public:
  std::mutex lock;
  std::thread::id callbackThread;

  int call(int result, std::vector<int>& log) {
    if (std::this_thread::get_id() == callbackThread) {
      log.push_back(result);
      return result;
    }
    std::lock_guard<std::mutex> held(lock);
    log.push_back(result);
    return result;
  }
};

// A queue holding its limit, and an arrival waiting for room on a thread of
// its own that holds the fake library's lock meanwhile, as the library's
// receiving thread does.
class FullQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(queue_.admit(message("a/1", "0123456789"), kUnbounded));
  }

  void TearDown() override {
    queue_.close();
    if (arrival_.valid()) {
      arrival_.wait();
    }
  }

  // With `beforeAdmit` run once the thread holds the library's lock.
  void startArrival(const std::function<void()>& beforeAdmit = [] {}) {
    std::promise<void> started;
    arrival_ = std::async(std::launch::async, [&, beforeAdmit] {
      std::lock_guard<std::mutex> held(library_.lock);
      library_.callbackThread = std::this_thread::get_id();
      beforeAdmit();
      started.set_value();
      return queue_.admit(message("a/2", "waiting"), kUnbounded);
    });
    started.get_future().wait();
  }

  // Until a call runs on the arrival's thread, which it does only while it
  // waits for room.
  bool arrivalWaits() {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    const auto onArrival = [this] { return std::this_thread::get_id() == library_.callbackThread; };
    while (queue_.perform(onArrival, nullptr) != 1) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

  ReceiveQueue queue_{10};
  FakeLibrary library_;
  std::future<bool> arrival_;
};

TEST(ReceiveQueueTest, MessagesComeOutCompleteAndInOrderWithinTheLimit) {
  constexpr int kCount = 2000;
  ReceiveQueue queue(64);
  auto producer = std::async(std::launch::async, [&] {
    for (int i = 0; i < kCount; ++i) {
      queue.admit(message("t/" + std::to_string(i % 7), std::to_string(i)), kUnbounded);
    }
  });
  for (int i = 0; i < kCount; ++i) {
    const auto taken = takeAny(queue);
    ASSERT_TRUE(taken.has_value()) << "message " << i << " missing";
    ASSERT_EQ(text(*taken), std::to_string(i));
    ASSERT_EQ(taken->topic, "t/" + std::to_string(i % 7));
  }
  producer.get();
  EXPECT_EQ(queue.size(), 0u);
  EXPECT_EQ(queue.bytes(), 0u);
  EXPECT_LE(queue.peakBytes(), 64u + std::string("t/0").size() + 4);
}

TEST_F(FullQueueTest, AWaitingMessageIsQueuedAsSoonAsThereIsRoom) {
  startArrival();
  EXPECT_EQ(arrival_.wait_for(50ms), std::future_status::timeout);
  EXPECT_EQ(text(*takeAny(queue_)), "0123456789");
  // Nothing else arrives: the waiting message must come by itself.
  EXPECT_EQ(text(*takeAny(queue_)), "waiting");
  EXPECT_TRUE(arrival_.get());
}

// The receiving thread also reads for other clients and reads the broker's
// acknowledgements: a consumer that makes no room holds it up only so long.
TEST_F(FullQueueTest, AnArrivalWaitsForRoomNoLongerThanItsBound) {
  std::promise<void> started;
  auto bounded = std::async(std::launch::async, [&] {
    started.set_value();
    return queue_.admit(message("a/2", "bounded"), 200ms);
  });
  started.get_future().wait();
  ASSERT_EQ(bounded.wait_for(kPatience), std::future_status::ready);
  EXPECT_TRUE(bounded.get());
  EXPECT_EQ(queue_.size(), 2u);
  EXPECT_EQ(text(*takeAny(queue_)), "0123456789");
  EXPECT_EQ(text(*takeAny(queue_)), "bounded");
}

// A consumer asleep in poll() wakes for a message at the empty queue and for
// the link's changes, and sleeps once it cleared the descriptor.
TEST(ReceiveQueueTest, TheActivityDescriptorWakesAConsumerAsleepInPoll) {
  ReceiveQueue queue(100);
  const int activity = queue.activityDescriptor();
  ASSERT_GE(activity, 0);
  const auto readable = [&](int timeoutMs) {
    pollfd watched{activity, POLLIN, 0};
    return ::poll(&watched, 1, timeoutMs) == 1;
  };
  const auto clear = [&] {
    std::uint64_t count = 0;
    return ::read(activity, &count, sizeof count) == static_cast<ssize_t>(sizeof count);
  };
  EXPECT_FALSE(readable(0));
  auto producer = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(50ms);
    queue.admit(message("a/1", "one"), kUnbounded);
  });
  EXPECT_TRUE(readable(static_cast<int>(std::chrono::milliseconds(kPatience).count())));
  producer.get();
  EXPECT_TRUE(clear());
  EXPECT_EQ(text(*takeAny(queue)), "one");
  EXPECT_FALSE(readable(0));
  queue.signalActivity();
  EXPECT_TRUE(readable(0));
  EXPECT_TRUE(clear());
  EXPECT_FALSE(readable(0));
}

TEST_F(FullQueueTest, CallsRunOnTheWaitingArrivalInOrderWhileTheQueueStaysFull) {
  startArrival();
  ASSERT_TRUE(arrivalWaits());
  std::vector<int> log;
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(queue_.perform([&, i] { return library_.call(i, log); }, nullptr), i);
  }
  EXPECT_EQ(log, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(queue_.size(), 1u);
  EXPECT_EQ(text(*takeAny(queue_)), "0123456789");
  EXPECT_EQ(text(*takeAny(queue_)), "waiting");
}

// The consumer's call, made while there is room, waits for the library's
// lock that the receiving thread holds: the arrivals then go beyond the limit
// rather than wait for the consumer.
TEST(ReceiveQueueTest, AnArrivalDoesNotWaitForACallMadeWhileThereWasRoom) {
  ReceiveQueue queue(100);
  FakeLibrary library;
  std::vector<int> log;
  std::promise<void> callStarted;
  std::unique_lock<std::mutex> held(library.lock);  // this thread receives
  auto consumer = std::async(std::launch::async, [&] {
    return queue.perform([&] { callStarted.set_value(); return library.call(1, log); }, nullptr);
  });
  callStarted.get_future().wait();
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(queue.admit(message("a/" + std::to_string(i), std::string(50, 'x')), kUnbounded));
  }
  held.unlock();
  EXPECT_EQ(consumer.get(), 1);
  EXPECT_EQ(queue.size(), 3u);
  EXPECT_THROW(queue.perform([]() -> int { throw std::runtime_error("refused"); }, nullptr),
               std::runtime_error);
}

// The consumer's call is already waiting for the library's lock when the
// arrival starts waiting for room while holding it: the consumer gets no
// result, takes, and the call and the next one then run, in order.
TEST_F(FullQueueTest, ACallStuckBehindTheWaitingArrivalDoesNotBlockTheConsumer) {
  std::vector<int> log;
  std::promise<void> firstCallStarted;
  std::promise<std::vector<int>> lateResults;
  std::vector<int> late;
  std::mutex lateMutex;
  const auto collect = [&](int result) {
    std::lock_guard<std::mutex> held(lateMutex);
    late.push_back(result);
    if (late.size() == 2) lateResults.set_value(late);
  };
  std::future<std::optional<int>> first;
  startArrival([&] {
    first = std::async(std::launch::async, [&] {
      return queue_.perform([&] { firstCallStarted.set_value(); return library_.call(1, log); },
                            collect);
    });
    firstCallStarted.get_future().wait();
  });

  ASSERT_EQ(first.wait_for(kPatience), std::future_status::ready);
  EXPECT_FALSE(first.get().has_value());
  EXPECT_FALSE(queue_.perform([&] { return library_.call(2, log); }, collect).has_value());
  EXPECT_EQ(text(*takeAny(queue_)), "0123456789");
  EXPECT_EQ(text(*takeAny(queue_)), "waiting");
  auto results = lateResults.get_future();
  ASSERT_EQ(results.wait_for(kPatience), std::future_status::ready);
  EXPECT_EQ(results.get(), (std::vector<int>{1, 2}));
  EXPECT_EQ(log, (std::vector<int>{1, 2}));
}

}  // namespace
