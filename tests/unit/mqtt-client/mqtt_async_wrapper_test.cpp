#include "talvoro/mosquitto/mqtt_async_wrapper.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/eventually.h"
#include "testsupport/mosquitto_broker.h"
#include "testsupport/test_certificates.h"
#include "testsupport/test_mqtt_client.h"
#include "testsupport/text_and_namespaces.h"

namespace {

using namespace std::chrono_literals;
using talvoro::mosquitto::LinkEvent;
using talvoro::mosquitto::Message;
using talvoro::mosquitto::MqttAsyncWrapper;
using talvoro::mosquitto::MqttError;
using talvoro::mosquitto::Qos;
using talvoro::mosquitto::ReceiveTimeout;
using testsupport::BrokerOptions;
using testsupport::MosquittoBroker;
using testsupport::TestMqttClient;

// Outside every data filter used below ("/#", "test/#"), so probes left over
// from waiting never get in the way of the messages a test checks.
const std::string kProbeTopic = "probe";
// Generous limits for waits that only end early when something is broken.
constexpr int kReceiveMs = 20000;
constexpr auto kReconnectLimit = 60s;

std::string text(const Message& message) {
  return std::string(message.payload.begin(), message.payload.end());
}

std::string randomBytes(size_t size) {
  std::mt19937 generator(42);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    c = static_cast<char>(byte(generator));
  }
  return bytes;
}

size_t threadCount() {
  const std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<size_t>(std::distance(begin(tasks), end(tasks)));
}

// Threads of a destroyed client library end shortly after destroy returns.
bool threadsBackTo(size_t expected) {
  return testsupport::eventually([&] { return threadCount() <= expected; }, 20s);
}

// Destroys `wrapper` on a helper thread; false when that did not finish in
// a generous time (the thread is then left behind rather than hanging here).
bool destroyWithin(std::unique_ptr<MqttAsyncWrapper> wrapper, std::chrono::seconds limit) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread([w = std::move(wrapper), done]() mutable {
    w.reset();
    done->set_value();
  }).detach();
  return finished.wait_for(limit) == std::future_status::ready;
}

// True when thread `tid` of this process is blocked (state "S").
bool isSleeping(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S';
}

// Credentials of one test must not leak into the next.
void clearBrokerAccess() {
  for (const char* name : {"MQTT_USERNAME", "MQTT_PASSWORD_FILE", "MQTT_CA_FILE",
                           "MQTT_CERT_FILE", "MQTT_KEY_FILE"}) {
    ::unsetenv(name);
  }
}

// What a wrapper reported, for checks from the test's thread. Outlives the
// wrapper it listens to.
class EventLog {
 public:
  MqttAsyncWrapper::EventListener listener() {
    return [this](const LinkEvent& event) {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(event);
    };
  }

  std::vector<std::string> texts(LinkEvent::Kind kind) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> texts;
    for (const LinkEvent& event : events_) {
      if (event.kind == kind) {
        texts.push_back(event.text);
      }
    }
    return texts;
  }

  bool await(LinkEvent::Kind kind, size_t count = 1) const {
    return testsupport::eventually([&] { return texts(kind).size() >= count; }, kReconnectLimit);
  }

  std::string all() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    for (const LinkEvent& event : events_) {
      text += std::to_string(static_cast<int>(event.kind)) + " " + event.text + "\n";
    }
    return text;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LinkEvent> events_;
};

// Sockets of this process connected to `port`.
std::vector<int> socketsTo(int port) {
  std::vector<int> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::atoi(entry.path().filename().c_str());
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
        peer.sin_family == AF_INET && ntohs(peer.sin_port) == port) {
      found.push_back(fd);
    }
  }
  return found;
}

class MqttAsyncWrapperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TESTSUPPORT_REQUIRE_MOSQUITTO();
    clearBrokerAccess();
    broker_ = std::make_unique<MosquittoBroker>(brokerStart(), brokerOptions());
    ::setenv("MQTT_BROKER_URL", broker_->url().c_str(), 1);
  }

  virtual MosquittoBroker::Start brokerStart() const { return MosquittoBroker::Start::Now; }
  virtual BrokerOptions brokerOptions() const { return {}; }

  // A wrapper connecting and subscribing to `filter` (then to the probe
  // topic) the way the service does it.
  std::unique_ptr<MqttAsyncWrapper> makeWrapper(const std::string& filter,
                                                Qos qos = Qos::AtMostOnce) {
    auto wrapper = std::make_unique<MqttAsyncWrapper>("wrapper_under_test");
    wrapper->Connect(true, nullptr, nullptr);
    wrapper->Subscribe(filter, qos, false, nullptr, nullptr);
    wrapper->Subscribe(kProbeTopic, Qos::AtMostOnce, false, nullptr, nullptr);
    return wrapper;
  }

  // Publishes probes until `wrapper` receives one. The wrapper issues its
  // subscriptions in the order they were made, the probe's last, so from
  // then on all of them are active at the broker.
  static bool awaitSubscriptions(MqttAsyncWrapper& wrapper, TestMqttClient& publisher) {
    for (auto deadline = std::chrono::steady_clock::now() + kReconnectLimit;
         std::chrono::steady_clock::now() < deadline;) {
      publisher.publish(kProbeTopic, "probe");
      try {
        wrapper.Receive(kProbeTopic, 200);
        return true;
      } catch (const ReceiveTimeout&) {
      }
    }
    return false;
  }

  std::unique_ptr<TestMqttClient> makeClient(const std::string& id = "test_client") {
    auto client = std::make_unique<TestMqttClient>();
    client->connect(broker_->url(), id);
    return client;
  }

  std::unique_ptr<MosquittoBroker> broker_;
};

TEST_F(MqttAsyncWrapperTest, ReceivesSubscribedMessagesInArrivalOrder) {
  auto wrapper = makeWrapper("/tl/#");
  auto publisher = makeClient();
  ASSERT_TRUE(awaitSubscriptions(*wrapper, *publisher));

  const std::string topics[] = {"/tl/a", "/tl/b/c", "/tl/a"};
  for (int i = 0; i < 300; ++i) {
    publisher->publish(topics[i % 3], "message " + std::to_string(i));
  }
  publisher->publish("/other/topic", "not subscribed");
  for (int i = 0; i < 300; ++i) {
    const Message message = wrapper->Receive("/#", kReceiveMs);
    ASSERT_EQ(message.topic, topics[i % 3]);
    ASSERT_EQ(text(message), "message " + std::to_string(i));
  }
  EXPECT_THROW(wrapper->Receive("/#", 300), ReceiveTimeout);
}

TEST_F(MqttAsyncWrapperTest, PayloadBytesIncludingNulSurviveBothWays) {
  auto wrapper = makeWrapper("/tl/#");
  auto peer = makeClient();
  peer->subscribe("/status/#", 1);
  ASSERT_TRUE(awaitSubscriptions(*wrapper, *peer));
  const std::string bytes("\0a\0\xff\x01\0", 6);

  peer->publish("/tl/nul", bytes, 1);
  EXPECT_EQ(text(wrapper->Receive("/#", kReceiveMs)), bytes);

  ASSERT_TRUE(wrapper->Send("/status/nul", bytes, Qos::AtLeastOnce, false));
  const auto received = peer->waitMessage(20s);
  ASSERT_TRUE(received.has_value());
  EXPECT_EQ(received->topic, "/status/nul");
  EXPECT_EQ(received->payload, bytes);
  EXPECT_FALSE(received->retained);
}

TEST_F(MqttAsyncWrapperTest, ReceivesFiveMegabytePayloadUnchanged) {
  auto wrapper = makeWrapper("/tl/#");
  auto publisher = makeClient();
  ASSERT_TRUE(awaitSubscriptions(*wrapper, *publisher));
  const std::string big = randomBytes(5 * 1024 * 1024);

  publisher->publish("/tl/big", big, 1);
  const Message message = wrapper->Receive("/#", kReceiveMs);
  EXPECT_EQ(message.topic, "/tl/big");
  EXPECT_TRUE(text(message) == big) << "payload of " << message.payload.size()
                                    << " bytes differs";
}

TEST_F(MqttAsyncWrapperTest, BurstOfTenThousandArrivesCompleteAndInOrder) {
  constexpr int kCount = 10000;
  // A broker that holds the whole burst for a client lagging behind, so that
  // any loss is the wrapper's.
  BrokerOptions deepQueue;
  deepQueue.maxQueuedMessages = 2 * kCount;
  broker_ = std::make_unique<MosquittoBroker>(MosquittoBroker::Start::Now, deepQueue);
  ::setenv("MQTT_BROKER_URL", broker_->url().c_str(), 1);
  auto wrapper = makeWrapper("/tl/#", Qos::AtLeastOnce);
  auto publisher = makeClient();
  ASSERT_TRUE(awaitSubscriptions(*wrapper, *publisher));

  for (int i = 0; i < kCount; ++i) {
    publisher->publish("/tl/burst", std::to_string(i), 1);
  }
  for (int i = 0; i < kCount; ++i) {
    ASSERT_EQ(text(wrapper->Receive("/#", kReceiveMs)), std::to_string(i));
  }
}

// 300 messages of 64 KiB against a 1 MiB queue: the arrival callback must
// wait for room while the consumer, taking them slowly, publishes a QoS 1
// reply for each (Paho's publish takes the lock the waiting callback holds).
TEST_F(MqttAsyncWrapperTest, FloodWaitsForRoomInTheQueueWhileRepliesGoOut) {
  constexpr int kCount = 300;
  constexpr size_t kLimit = 1024 * 1024;
  const std::string filler(64 * 1024 - 8, 'x');
  auto wrapper = makeWrapper("/tl/#");
  wrapper->SetReceiveQueueLimit(kLimit);
  auto publisher = makeClient();
  auto observer = makeClient("observer");
  observer->subscribe("/status/#", 1);
  ASSERT_TRUE(awaitSubscriptions(*wrapper, *publisher));

  auto payload = [&](int i) { return fmt::format("{:08}", i) + filler; };
  for (int i = 0; i < kCount; ++i) {
    publisher->publish("/tl/flood", payload(i), 1);
  }
  ASSERT_TRUE(testsupport::eventually([&] { return wrapper->QueuedBytes() >= kLimit; }));
  for (int i = 0; i < kCount; ++i) {
    const Message message = wrapper->Receive("/#", kReceiveMs);
    ASSERT_TRUE(text(message) == payload(i)) << "message " << i << " is "
                                             << text(message).substr(0, 8);
    std::this_thread::sleep_for(1ms);
    wrapper->Send("/status/reply", std::to_string(i), Qos::AtLeastOnce, false);
  }
  for (int i = 0; i < kCount; ++i) {
    const auto reply = observer->waitMessage(20s);
    ASSERT_TRUE(reply.has_value()) << "reply " << i << " missing";
    ASSERT_EQ(reply->payload, std::to_string(i));
  }
  const size_t oneMessage = std::string("/tl/flood").size() + payload(0).size();
  EXPECT_LE(wrapper->PeakQueuedBytes(), kLimit + oneMessage);
  EXPECT_EQ(wrapper->Pending(), 0u);
}

// Replies at QoS 0 bring no packet back: a message that waited for room while
// the consumer published must come without any further traffic.
TEST_F(MqttAsyncWrapperTest, EveryWaitingMessageComesWithoutFurtherTraffic) {
  constexpr int kCount = 60;
  const std::string filler(64 * 1024 - 8, 'x');
  auto wrapper = makeWrapper("/tl/#");
  wrapper->SetReceiveQueueLimit(256 * 1024);
  auto publisher = makeClient();
  ASSERT_TRUE(awaitSubscriptions(*wrapper, *publisher));
  for (int i = 0; i < kCount; ++i) {
    publisher->publish("/tl/flood", fmt::format("{:08}", i) + filler, 1);
  }
  for (int i = 0; i < kCount; ++i) {
    const auto message = wrapper->TryReceive("/tl/#", 5s);
    ASSERT_TRUE(message.has_value()) << "message " << i << " did not come";
    ASSERT_EQ(text(*message).substr(0, 8), fmt::format("{:08}", i));
    wrapper->Send("/status/reply", std::to_string(i), Qos::AtMostOnce, false);
    wrapper->Send("/result/reply", std::to_string(i), Qos::AtMostOnce, false);
  }
}

TEST_F(MqttAsyncWrapperTest, DestructionWakesAnArrivalWaitingForRoom) {
  auto wrapper = makeWrapper("/tl/#");
  wrapper->SetReceiveQueueLimit(1024);
  auto publisher = makeClient();
  ASSERT_TRUE(awaitSubscriptions(*wrapper, *publisher));
  for (int i = 0; i < 20; ++i) {
    publisher->publish("/tl/full", std::string(1024, 'x'), 1);
  }
  ASSERT_TRUE(testsupport::eventually([&] { return wrapper->QueuedBytes() >= 1024; }));
  // Gives the next message time to reach the callback, which then waits.
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(wrapper->Pending(), 1u);

  ASSERT_TRUE(destroyWithin(std::move(wrapper), 20s));
}

TEST_F(MqttAsyncWrapperTest, TryReceiveReturnsNothingInTimeAndPendingCountsTheQueue) {
  auto wrapper = makeWrapper("test/#");
  auto publisher = makeClient();
  ASSERT_TRUE(awaitSubscriptions(*wrapper, *publisher));

  publisher->publish("test/a", "first", 1);
  publisher->publish("test/a", "second", 1);
  ASSERT_TRUE(testsupport::eventually([&] { return wrapper->Pending() == 2; }));
  EXPECT_FALSE(wrapper->TryReceive("test/b", 0ms).has_value());
  EXPECT_FALSE(wrapper->TryReceive("test/b", 50ms).has_value());
  const auto first = wrapper->TryReceive("test/#", 0ms);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(text(*first), "first");
  EXPECT_EQ(wrapper->Pending(), 1u);
}

TEST_F(MqttAsyncWrapperTest, NonMatchingMessagesStayQueuedForALaterReceive) {
  auto wrapper = makeWrapper("test/#");
  auto publisher = makeClient();
  ASSERT_TRUE(awaitSubscriptions(*wrapper, *publisher));

  publisher->publish("test/a/1", "first");
  publisher->publish("test/b/1", "second");
  publisher->publish("test/a/2", "third");

  const Message b = wrapper->Receive("test/b/+", kReceiveMs);
  EXPECT_EQ(b.topic, "test/b/1");
  EXPECT_EQ(text(b), "second");
  EXPECT_THROW(wrapper->Receive("test/c/#", 200), ReceiveTimeout);
  EXPECT_EQ(text(wrapper->Receive("test/#", kReceiveMs)), "first");
  EXPECT_EQ(text(wrapper->Receive("test/#", kReceiveMs)), "third");
}

TEST_F(MqttAsyncWrapperTest, SubscribeWhileConnectedTakesEffectAtOnce) {
  auto wrapper = makeWrapper("/tl/#");
  auto publisher = makeClient();
  ASSERT_TRUE(awaitSubscriptions(*wrapper, *publisher));

  EXPECT_TRUE(wrapper->Subscribe("test/late/#", Qos::AtLeastOnce, true, nullptr, nullptr));
  publisher->publish("test/late/x", "late", 1);
  EXPECT_EQ(text(wrapper->Receive("test/late/#", kReceiveMs)), "late");
}

TEST_F(MqttAsyncWrapperTest, ResubscribesAfterBrokerRestart) {
  auto wrapper = makeWrapper("/tl/#");
  {
    auto publisher = makeClient();
    ASSERT_TRUE(awaitSubscriptions(*wrapper, *publisher));
    publisher->publish("/tl/x", "before", 1);
    EXPECT_EQ(text(wrapper->Receive("/#", kReceiveMs)), "before");
  }
  broker_->stop();
  broker_->start();

  auto publisher = makeClient();
  ASSERT_TRUE(awaitSubscriptions(*wrapper, *publisher)) << broker_->log();
  for (int i = 0; i < 100; ++i) {
    publisher->publish("/tl/x", "after " + std::to_string(i), 1);
  }
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(text(wrapper->Receive("/#", kReceiveMs)), "after " + std::to_string(i));
  }
}

TEST_F(MqttAsyncWrapperTest, BrokerRestartIsReportedAndAcknowledgementsFollowTheConnection) {
  EventLog events;
  auto wrapper = std::make_unique<MqttAsyncWrapper>("wrapper_under_test");
  wrapper->SetEventListener(events.listener());
  wrapper->Connect(true, nullptr, nullptr);
  wrapper->Subscribe("/tl/#", Qos::AtMostOnce, false, nullptr, nullptr);
  ASSERT_TRUE(testsupport::eventually([&] { return wrapper->Acknowledged("/tl/#", 1); }))
      << events.all();
  EXPECT_EQ(wrapper->Link().connection, 1u);
  EXPECT_FALSE(wrapper->Acknowledged("/other/#", 1));

  broker_->stop();
  ASSERT_TRUE(events.await(LinkEvent::Kind::ConnectionLost)) << events.all();
  EXPECT_EQ(events.texts(LinkEvent::Kind::ConnectionLost).front().rfind(broker_->url() + ": connection lost", 0), 0u)
      << events.all();
  EXPECT_FALSE(wrapper->Link().connected);
  EXPECT_FALSE(wrapper->Acknowledged("/tl/#", 1));
  broker_->start();

  ASSERT_TRUE(testsupport::eventually([&] { return wrapper->Acknowledged("/tl/#", 2); },
                                      kReconnectLimit))
      << events.all();
  EXPECT_FALSE(wrapper->Acknowledged("/tl/#", 1));
  EXPECT_EQ(wrapper->Link().connection, 2u);
  EXPECT_EQ(events.texts(LinkEvent::Kind::Connected).size(), 2u) << events.all();
}

TEST_F(MqttAsyncWrapperTest, WillIsPublishedWhenTheLinkBreaksOnEveryConnection) {
  auto observer = makeClient("observer");
  observer->subscribe("/status/#", 1);
  const std::vector<int> observerSockets = socketsTo(broker_->port());
  auto wrapper = std::make_unique<MqttAsyncWrapper>("wrapper_under_test");
  wrapper->SetWill("/status/service", "offline", Qos::AtLeastOnce, true);
  wrapper->Connect(true, nullptr, nullptr);

  for (std::uint64_t connection = 1; connection <= 2; ++connection) {
    ASSERT_TRUE(testsupport::eventually(
        [&] {
          const auto link = wrapper->Link();
          return link.connected && link.connection == connection;
        },
        kReconnectLimit));
    // Cut the wrapper's link under it: the broker sees it end without a
    // DISCONNECT.
    for (const int fd : socketsTo(broker_->port())) {
      if (std::find(observerSockets.begin(), observerSockets.end(), fd) == observerSockets.end()) {
        ::shutdown(fd, SHUT_RDWR);
      }
    }
    const auto will = observer->waitMessage(20s);
    ASSERT_TRUE(will.has_value()) << "no will after connection " << connection;
    EXPECT_EQ(will->topic, "/status/service");
    EXPECT_EQ(will->payload, "offline");
  }
  auto latecomer = makeClient("latecomer");
  latecomer->subscribe("/status/#", 1);
  const auto retained = latecomer->waitMessage(20s);
  ASSERT_TRUE(retained.has_value());
  EXPECT_TRUE(retained->retained);
}

TEST_F(MqttAsyncWrapperTest, SendWhileBrokerIsDownArrivesAfterItIsBack) {
  auto wrapper = makeWrapper("/tl/#");
  {
    auto publisher = makeClient();
    ASSERT_TRUE(awaitSubscriptions(*wrapper, *publisher));
  }
  broker_->stop();
  // Lets the wrapper notice the closed link, so the message waits in its
  // buffer instead of being written to the dead connection.
  std::this_thread::sleep_for(500ms);
  ASSERT_TRUE(wrapper->Send("/status/service", "alive", Qos::AtLeastOnce, true));
  broker_->start();

  auto observer = makeClient("observer");
  observer->subscribe("/status/#", 1);
  const auto received = observer->waitMessage(kReconnectLimit);
  ASSERT_TRUE(received.has_value()) << broker_->log();
  EXPECT_EQ(received->topic, "/status/service");
  EXPECT_EQ(received->payload, "alive");
}

// What a delivery listener heard, for checks from the test's thread.
class Deliveries {
 public:
  MqttAsyncWrapper::DeliveryListener listener() {
    return [this](bool delivered) {
      std::lock_guard<std::mutex> lock(mutex_);
      heard_.push_back(delivered);
    };
  }
  std::vector<bool> heard() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return heard_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<bool> heard_;
};

TEST_F(MqttAsyncWrapperTest, DeliveryListenerHearsTheBrokersAcknowledgementOnce) {
  // The broker named by the constructor, not by the environment.
  ::setenv("MQTT_BROKER_URL", "tcp://127.0.0.1:1", 1);
  MqttAsyncWrapper wrapper("delivering", broker_->url());
  wrapper.Connect(true, nullptr, nullptr);
  Deliveries deliveries;
  ASSERT_TRUE(wrapper.Send("/status/a", randomBytes(1 << 20), Qos::AtLeastOnce, false,
                           deliveries.listener()));
  ASSERT_TRUE(testsupport::eventually([&] { return !deliveries.heard().empty(); }, 20s))
      << broker_->log();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(deliveries.heard(), std::vector<bool>{true});
}

TEST_F(MqttAsyncWrapperTest, DestructionAfterBrokerLossReturnsAndLeavesNoThread) {
  const size_t before = threadCount();
  auto wrapper = makeWrapper("/tl/#");
  {
    auto publisher = makeClient();
    ASSERT_TRUE(awaitSubscriptions(*wrapper, *publisher));
  }
  broker_->stop();

  ASSERT_TRUE(destroyWithin(std::move(wrapper), 20s));
  EXPECT_TRUE(threadsBackTo(before)) << threadCount() << " threads, " << before
                                          << " before";
}

TEST_F(MqttAsyncWrapperTest, DestructionWakesABlockedReceive) {
  auto wrapper = makeWrapper("/tl/#");
  auto tid = std::make_shared<std::promise<pid_t>>();
  auto outcome = std::make_shared<std::promise<std::string>>();
  auto tidKnown = tid->get_future();
  auto outcomeKnown = outcome->get_future();
  // Detached, so that a receiver that never wakes fails the test, not hangs it.
  std::thread([receiver = wrapper.get(), tid, outcome] {
    tid->set_value(static_cast<pid_t>(::syscall(SYS_gettid)));
    try {
      receiver->Receive("/#", 0);
      outcome->set_value("returned a message");
    } catch (const ReceiveTimeout&) {
      outcome->set_value("timed out");
    } catch (const MqttError&) {
      outcome->set_value("MqttError");
    }
  }).detach();
  // Destroying the wrapper before Receive blocks would pull it from under the
  // receiver's feet.
  const pid_t receiverTid = tidKnown.get();
  for (int i = 0; i < 2000 && !isSleeping(receiverTid); ++i) {
    std::this_thread::sleep_for(5ms);
  }

  ASSERT_TRUE(destroyWithin(std::move(wrapper), 20s));
  ASSERT_EQ(outcomeKnown.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(outcomeKnown.get(), "MqttError");
}

class MqttAsyncWrapperLateBrokerTest : public MqttAsyncWrapperTest {
  MosquittoBroker::Start brokerStart() const override {
    return MosquittoBroker::Start::Later;
  }
};

TEST_F(MqttAsyncWrapperLateBrokerTest, StartsWorkingWhenBrokerAppearsAfterConnect) {
  auto wrapper = makeWrapper("/tl/#");
  // Let at least one connection attempt fail first.
  std::this_thread::sleep_for(1500ms);
  broker_->start();

  auto publisher = makeClient();
  ASSERT_TRUE(awaitSubscriptions(*wrapper, *publisher)) << broker_->log();
  publisher->publish("/tl/bridge/configuration", "{}", 1);
  const Message message = wrapper->Receive("/#", kReceiveMs);
  EXPECT_EQ(message.topic, "/tl/bridge/configuration");
  EXPECT_EQ(text(message), "{}");
}

// Waits for the link, subscribes to `topic` and sends itself a message there.
::testing::AssertionResult roundTrip(MqttAsyncWrapper& wrapper, const std::string& topic) {
  if (!testsupport::eventually([&] { return wrapper.Link().connected; }, kReconnectLimit)) {
    return ::testing::AssertionFailure() << "never connected";
  }
  // The link shows as up a moment before it takes subscriptions; one made in
  // between is only noted (false) and goes out with the others.
  if (!testsupport::eventually(
          [&] { return wrapper.Subscribe(topic, Qos::AtLeastOnce, true, nullptr, nullptr); },
          kReconnectLimit)) {
    return ::testing::AssertionFailure() << "the subscription was never granted";
  }
  wrapper.Send(topic, "ping", Qos::AtLeastOnce, false);
  const auto echo = wrapper.TryReceive(topic, std::chrono::milliseconds(kReceiveMs));
  if (!echo || text(*echo) != "ping") {
    return ::testing::AssertionFailure() << "own message did not come back";
  }
  return ::testing::AssertionSuccess();
}

class MqttAsyncWrapperLoginTest : public MqttAsyncWrapperTest {
 protected:
  BrokerOptions brokerOptions() const override {
    BrokerOptions options;
    options.users = {{"service", "s3cret pass"}};
    return options;
  }
};

TEST_F(MqttAsyncWrapperLoginTest, RefusalIsReportedOnceWithTheReasonAndCredentialsLogIn) {
  EventLog refusals;
  auto anonymous = std::make_unique<MqttAsyncWrapper>("anonymous");
  anonymous->SetEventListener(refusals.listener());
  anonymous->Connect(true, nullptr, nullptr);
  ASSERT_TRUE(refusals.await(LinkEvent::Kind::ConnectFailed)) << refusals.all();
  EXPECT_EQ(refusals.texts(LinkEvent::Kind::ConnectFailed).front(),
            broker_->url() + ": connection refused: not authorised (MQTT return code 5)");

  testsupport::TempDir dir;
  const std::string passwordFile = (dir.path() / "password").string();
  std::ofstream(passwordFile) << "s3cret pass\n";
  ::setenv("MQTT_USERNAME", "service", 1);
  ::setenv("MQTT_PASSWORD_FILE", passwordFile.c_str(), 1);
  EventLog events;
  MqttAsyncWrapper service("service");
  service.SetEventListener(events.listener());
  service.Connect(true, nullptr, nullptr);
  EXPECT_TRUE(roundTrip(service, "test/login")) << events.all() << broker_->log();
  EXPECT_EQ(events.texts(LinkEvent::Kind::Connected),
            std::vector<std::string>{broker_->url() + ": connected"});

  // Further refusals within the first minute are only counted.
  ASSERT_TRUE(testsupport::eventually(
      [&] { return testsupport::countOccurrences(broker_->log(), "not authorised") >= 3; },
      kReconnectLimit));
  EXPECT_EQ(refusals.texts(LinkEvent::Kind::ConnectFailed).size(), 1u) << refusals.all();
}

TEST_F(MqttAsyncWrapperLoginTest, ARefusedLoginStaysInTheLinkStateWithTheBrokersReason) {
  MqttAsyncWrapper anonymous("anonymous");
  EXPECT_EQ(anonymous.Link().refusedWith, 0);
  anonymous.Connect(true, nullptr, nullptr);
  ASSERT_TRUE(testsupport::eventually([&] { return anonymous.Link().refusedWith != 0; }, 20s));
  const auto link = anonymous.Link();
  EXPECT_FALSE(link.connected);
  EXPECT_EQ(link.refusedWith, 5);
  EXPECT_EQ(link.lastFailure,
            broker_->url() + ": connection refused: not authorised (MQTT return code 5)");
}

TEST_F(MqttAsyncWrapperLoginTest, APasswordWithAWindowsLineEndIsPointedOut) {
  testsupport::TempDir dir;
  const std::string passwordFile = (dir.path() / "password").string();
  std::ofstream(passwordFile) << "s3cret pass\r\n";
  ::setenv("MQTT_USERNAME", "service", 1);
  ::setenv("MQTT_PASSWORD_FILE", passwordFile.c_str(), 1);
  MqttAsyncWrapper service("service");
  service.Connect(true, nullptr, nullptr);
  ASSERT_TRUE(testsupport::eventually([&] { return service.Link().refusedWith != 0; }, 20s));
  EXPECT_NE(service.Link().lastFailure.find(
                "; the password from MQTT_PASSWORD_FILE ends with a carriage return"),
            std::string::npos)
      << service.Link().lastFailure;
}

class MqttAsyncWrapperTlsTest : public MqttAsyncWrapperTest {
 protected:
  BrokerOptions brokerOptions() const override {
    BrokerOptions options;
    options.certFile = certificates_.certFile();
    options.keyFile = certificates_.keyFile();
    return options;
  }

  testsupport::TestCertificates certificates_;
};

TEST_F(MqttAsyncWrapperTlsTest, BrokerCertificateMustBeSignedByTheGivenCa) {
  const testsupport::TestCertificates otherCa;
  ::setenv("MQTT_CA_FILE", otherCa.caFile().c_str(), 1);
  EventLog refusals;
  auto misled = std::make_unique<MqttAsyncWrapper>("other_ca");
  misled->SetEventListener(refusals.listener());
  misled->Connect(true, nullptr, nullptr);
  ASSERT_TRUE(refusals.await(LinkEvent::Kind::ConnectFailed)) << refusals.all();
  EXPECT_EQ(refusals.texts(LinkEvent::Kind::ConnectFailed).front().rfind(
                broker_->url() + ": connection failed: ", 0),
            0u)
      << refusals.all();
  EXPECT_FALSE(misled->Link().connected);

  ::setenv("MQTT_CA_FILE", certificates_.caFile().c_str(), 1);
  // "mqtts://" selects TLS as "ssl://" does.
  ::setenv("MQTT_BROKER_URL", ("mqtts" + broker_->url().substr(3)).c_str(), 1);
  MqttAsyncWrapper trusting("right_ca");
  trusting.Connect(true, nullptr, nullptr);
  EXPECT_TRUE(roundTrip(trusting, "test/tls")) << broker_->log();
}

// A broker that keeps at most `kQueued` messages for a client that does not
// read its socket, and drops the rest.
template <int kQueued>
class MqttAsyncWrapperQueueingBrokerTest : public MqttAsyncWrapperTest {
 protected:
  BrokerOptions brokerOptions() const override {
    BrokerOptions options;
    options.maxQueuedMessages = kQueued;
    return options;
  }
};

// Keeps only a few.
using MqttAsyncWrapperShallowBrokerTest = MqttAsyncWrapperQueueingBrokerTest<5>;
// Holds whole floods for a client that lags behind, so that every loss would
// be the wrapper's.
using MqttAsyncWrapperDeepBrokerTest = MqttAsyncWrapperQueueingBrokerTest<100000>;

// While the queue is full the wrapper reads nothing more, also while its
// consumer replies: the flood piles up at the broker (which drops what is
// beyond its limit), not in the wrapper's process. (That the replies arrive
// is FloodWaitsForRoomInTheQueueWhileRepliesGoOut's part: this broker would
// drop them too.)
TEST_F(MqttAsyncWrapperShallowBrokerTest, AFullQueueLeavesTheFloodWithTheBrokerWhileReplying) {
  constexpr int kCount = 1000;
  const std::string filler(64 * 1024 - 8, 'x');
  auto wrapper = makeWrapper("/tl/#");
  wrapper->SetReceiveQueueLimit(256 * 1024);
  auto publisher = makeClient();
  ASSERT_TRUE(awaitSubscriptions(*wrapper, *publisher));

  auto consumer = std::async(std::launch::async, [&] {
    std::vector<int> received;
    while (const auto message = wrapper->TryReceive("/tl/#", 3s)) {
      received.push_back(std::stoi(text(*message).substr(0, 8)));
      // Two replies to each, as the service sends a status and a result.
      wrapper->Send("/status/reply", std::to_string(received.back()), Qos::AtLeastOnce, false);
      wrapper->Send("/result/reply", std::to_string(received.back()), Qos::AtLeastOnce, false);
      std::this_thread::sleep_for(2ms);
    }
    return received;
  });
  for (int i = 0; i < kCount; ++i) {
    publisher->publish("/tl/flood", fmt::format("{:08}", i) + filler, 1);
  }
  const std::vector<int> received = consumer.get();

  EXPECT_LT(received.size(), static_cast<size_t>(kCount));
  EXPECT_TRUE(std::is_sorted(received.begin(), received.end()));
  EXPECT_NE(broker_->log().find("Outgoing messages are being dropped for client wrapper_under_test"),
            std::string::npos);
}

class MqttAsyncWrapperRefusingBrokerTest : public MqttAsyncWrapperTest {
 protected:
  BrokerOptions brokerOptions() const override {
    BrokerOptions options;
    options.refusedSubscriptions = {"denied/#"};
    return options;
  }
};

TEST_F(MqttAsyncWrapperRefusingBrokerTest, RefusedSubscriptionIsNotAcknowledged) {
  EventLog events;
  MqttAsyncWrapper wrapper("wrapper_under_test");
  wrapper.SetEventListener(events.listener());
  wrapper.Connect(true, nullptr, nullptr);
  // The link shows as up a moment before its subscriptions are requested
  // again; a subscription made in between is only noted (false) and goes with
  // them. Once one is granted, the next is requested and awaited at once.
  ASSERT_TRUE(testsupport::eventually(
      [&] { return wrapper.Subscribe("granted/#", Qos::AtMostOnce, true, nullptr, nullptr); }));

  EXPECT_THROW(wrapper.Subscribe("denied/x", Qos::AtMostOnce, true, nullptr, nullptr), MqttError);
  const std::uint64_t connection = wrapper.Link().connection;
  EXPECT_FALSE(wrapper.Acknowledged("denied/x", connection));
  EXPECT_TRUE(wrapper.Acknowledged("granted/#", connection));
  // The event goes out on the library's thread once the refusal is answered.
  const std::vector<std::string> refusal{broker_->url() +
                                         ": subscription to denied/x refused by the broker"};
  EXPECT_TRUE(testsupport::eventually([&] {
    return events.texts(LinkEvent::Kind::Error) == refusal;
  })) << testing::PrintToString(events.texts(LinkEvent::Kind::Error));
}

// The service's situation at its worst: a flood held back by a full receive
// queue, a consumer that takes its time and answers each message twice, and
// a publication window of two. Every answer arrives, in order, and what is
// published just before the wrapper goes (the service's "offline") as well.
TEST_F(MqttAsyncWrapperDeepBrokerTest, EveryAnswerGoesOutThroughAWindowFarSmallerThanTheBurst) {
  constexpr int kCount = 300;
  ::setenv("MQTT_PUBLICATION_WINDOW", "2", 1);
  auto wrapper = makeWrapper("/tl/#");
  ::unsetenv("MQTT_PUBLICATION_WINDOW");
  wrapper->SetReceiveQueueLimit(64 * 1024);
  auto publisher = makeClient();
  auto observer = makeClient("observer");
  observer->subscribe("/answer/#", 1);
  ASSERT_TRUE(awaitSubscriptions(*wrapper, *publisher));

  const std::string filler(16 * 1024, 'x');
  for (int i = 0; i < kCount; ++i) {
    publisher->publish("/tl/flood", std::to_string(i) + " " + filler, 1);
  }
  for (int i = 0; i < kCount; ++i) {
    const Message message = wrapper->Receive("/#", kReceiveMs);
    ASSERT_EQ(text(message).substr(0, text(message).find(' ')), std::to_string(i));
    std::this_thread::sleep_for(2ms);
    wrapper->Send("/answer/status/" + std::to_string(i), std::to_string(i), Qos::AtLeastOnce,
                  true);
    wrapper->Send("/answer/result", std::to_string(i), Qos::AtLeastOnce, false);
  }
  wrapper->Send("/answer/state", "offline", Qos::AtLeastOnce, true);
  wrapper.reset();

  for (int i = 0; i < kCount; ++i) {
    for (const std::string& topic :
         std::vector<std::string>{"/answer/status/" + std::to_string(i), "/answer/result"}) {
      const auto answer = observer->waitMessage(20s);
      ASSERT_TRUE(answer.has_value()) << topic << " of " << i << " missing";
      ASSERT_EQ(answer->topic, topic);
      ASSERT_EQ(answer->payload, std::to_string(i));
    }
  }
  const auto last = observer->waitMessage(20s);
  ASSERT_TRUE(last.has_value()) << "the last publication before destruction is missing";
  EXPECT_EQ(last->payload, "offline");
}

// While its consumer makes no room, the queue lets a message in every few
// seconds: the broker is heard, the wrapper's probes go out, and the link
// stays up however long the consumer takes. Nothing is lost meanwhile.
TEST_F(MqttAsyncWrapperDeepBrokerTest, AConsumerThatMakesNoRoomForLongLeavesTheLinkUp) {
  constexpr int kCount = 400;
  EventLog events;
  auto wrapper = std::make_unique<MqttAsyncWrapper>("wrapper_under_test");
  wrapper->SetEventListener(events.listener());
  wrapper->SetReceiveQueueLimit(64 * 1024);
  wrapper->Connect(true, nullptr, nullptr);
  wrapper->Subscribe("/tl/#", Qos::AtLeastOnce, false, nullptr, nullptr);
  wrapper->Subscribe(kProbeTopic, Qos::AtMostOnce, false, nullptr, nullptr);
  auto publisher = makeClient();
  ASSERT_TRUE(awaitSubscriptions(*wrapper, *publisher));
  const std::string filler(16 * 1024, 'x');
  for (int i = 0; i < kCount; ++i) {
    publisher->publish("/tl/flood", std::to_string(i) + " " + filler, 1);
  }

  // Longer than the library's keepalive and the wrapper's own link check.
  std::this_thread::sleep_for(45s);
  EXPECT_TRUE(events.texts(LinkEvent::Kind::ConnectionLost).empty()) << events.all();
  EXPECT_TRUE(wrapper->Link().connected);
  for (int i = 0; i < kCount; ++i) {
    const Message message = wrapper->Receive("/#", kReceiveMs);
    ASSERT_EQ(text(message).substr(0, text(message).find(' ')), std::to_string(i));
  }
  EXPECT_EQ(wrapper->Link().connection, 1u) << events.all();
}

TEST_F(MqttAsyncWrapperTest, AFrozenBrokerIsTakenForDeadAndTheLinkComesBackWhenItThaws) {
  EventLog events;
  auto wrapper = std::make_unique<MqttAsyncWrapper>("wrapper_under_test");
  wrapper->SetEventListener(events.listener());
  wrapper->Connect(true, nullptr, nullptr);
  ASSERT_TRUE(roundTrip(*wrapper, "test/before")) << events.all();

  broker_->freeze();
  ASSERT_TRUE(events.await(LinkEvent::Kind::ConnectionLost)) << events.all();
  EXPECT_NE(events.texts(LinkEvent::Kind::ConnectionLost).front().find(
                broker_->url() + ": connection lost: the broker answered nothing for "),
            std::string::npos)
      << events.all();
  EXPECT_FALSE(wrapper->Link().connected);

  broker_->thaw();
  ASSERT_TRUE(events.await(LinkEvent::Kind::Connected, 2)) << events.all();
  EXPECT_TRUE(roundTrip(*wrapper, "test/after")) << events.all();
}

// Paho C reads for every client of the process on one thread: a client whose
// consumer makes no room must not stop it for the others.
TEST_F(MqttAsyncWrapperDeepBrokerTest, AClientWhoseConsumerMakesNoRoomHoldsUpNoOtherClient) {
  auto stalled = makeWrapper("/tl/#");
  stalled->SetReceiveQueueLimit(1024);
  {
    auto publisher = makeClient();
    ASSERT_TRUE(awaitSubscriptions(*stalled, *publisher));
    // Each waits up to kSharedArrivalWait for room: pressure for half a minute.
    const std::string filler(1024, 'x');
    for (int i = 0; i < 1500; ++i) {
      publisher->publish("/tl/flood", filler, 1);
    }
  }
  ASSERT_TRUE(testsupport::eventually([&] { return stalled->QueuedBytes() >= 1024; }));

  MosquittoBroker otherBroker;
  MqttAsyncWrapper lively("lively", otherBroker.url());
  lively.Connect(true, nullptr, nullptr);
  ASSERT_TRUE(roundTrip(lively, "test/echo")) << otherBroker.log();
  for (int i = 0; i < 100; ++i) {
    lively.Send("test/echo", std::to_string(i), Qos::AtLeastOnce, false);
    const auto echo = lively.TryReceive("test/echo", std::chrono::milliseconds(kReceiveMs));
    ASSERT_TRUE(echo.has_value()) << "echo " << i << " missing";
    ASSERT_EQ(text(*echo), std::to_string(i));
  }
  EXPECT_GT(stalled->Pending(), 0u);
}

class MqttAsyncWrapperDeepLateBrokerTest : public MqttAsyncWrapperDeepBrokerTest {
  MosquittoBroker::Start brokerStart() const override { return MosquittoBroker::Start::Later; }
};

// More than the library buffers: the rest waits in the window, nothing is
// refused, and all of it reaches the broker once it is there.
TEST_F(MqttAsyncWrapperDeepLateBrokerTest, MoreThanTheLibraryBuffersWaitsForTheBroker) {
  constexpr int kCount = MqttAsyncWrapper::kMaxBufferedMessages + 500;
  auto wrapper = std::make_unique<MqttAsyncWrapper>("buffering");
  wrapper->Connect(true, nullptr, nullptr);
  for (int i = 0; i < kCount; ++i) {
    ASSERT_TRUE(wrapper->Send("test/retained/" + std::to_string(i), std::to_string(i),
                              Qos::AtLeastOnce, true));
  }
  broker_->start();

  auto observer = makeClient("observer");
  observer->subscribe("test/retained/#", 1);
  std::set<std::string> topics;
  while (topics.size() < static_cast<size_t>(kCount)) {
    const auto received = observer->waitMessage(20s);
    ASSERT_TRUE(received.has_value()) << topics.size() << " of " << kCount << " arrived";
    ASSERT_EQ(received->topic, "test/retained/" + received->payload);
    topics.insert(received->topic);
  }
}

// Tests that need no broker: the URL points at a port nobody listens on.
class MqttAsyncWrapperOfflineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clearBrokerAccess();
    url_ = "tcp://127.0.0.1:" + std::to_string(testsupport::freeLoopbackPort());
    ::setenv("MQTT_BROKER_URL", url_.c_str(), 1);
  }
  void TearDown() override { clearBrokerAccess(); }
  std::string url_;
};

TEST_F(MqttAsyncWrapperOfflineTest, ReceiveTimeoutNamesTheFilter) {
  MqttAsyncWrapper wrapper("offline");
  wrapper.Connect(true, nullptr, nullptr);
  try {
    wrapper.Receive("/tl/#", 50);
    FAIL() << "Receive returned without a message";
  } catch (const ReceiveTimeout& e) {
    EXPECT_NE(std::string(e.what()).find("/tl/#"), std::string::npos) << e.what();
  }
}

TEST_F(MqttAsyncWrapperOfflineTest, BrokerNeverReachedDestructionLeavesNoThread) {
  const size_t before = threadCount();
  auto wrapper = std::make_unique<MqttAsyncWrapper>("never_connected");
  EXPECT_TRUE(wrapper->Connect(true, nullptr, nullptr));
  EXPECT_FALSE(wrapper->Subscribe("/tl/#", Qos::AtMostOnce, true, nullptr, nullptr));
  EXPECT_TRUE(wrapper->Send("/status", "buffered", Qos::AtLeastOnce, true));
  // Let the first attempt fail so the client is waiting to retry.
  std::this_thread::sleep_for(300ms);

  ASSERT_TRUE(destroyWithin(std::move(wrapper), 20s));
  EXPECT_TRUE(threadsBackTo(before)) << threadCount() << " threads, " << before
                                          << " before";
}

TEST_F(MqttAsyncWrapperOfflineTest, AnUnansweredDeliveryIsNotHeardOnceDestructionBegan) {
  Deliveries deliveries;
  {
    MqttAsyncWrapper wrapper("undelivered");
    wrapper.Connect(true, nullptr, nullptr);
    ASSERT_TRUE(wrapper.Send("/status", "buffered", Qos::AtLeastOnce, false,
                             deliveries.listener()));
  }
  EXPECT_TRUE(deliveries.heard().empty());
}

TEST_F(MqttAsyncWrapperOfflineTest, UnreadablePasswordFileIsNamedWithTheSystemsReason) {
  ::setenv("MQTT_USERNAME", "service", 1);
  ::setenv("MQTT_PASSWORD_FILE", "/nonexistent/password", 1);
  try {
    MqttAsyncWrapper wrapper("no_password");
    FAIL() << "a missing password file was accepted";
  } catch (const MqttError& e) {
    EXPECT_STREQ(e.what(),
                 "mqtt: cannot read password file /nonexistent/password: No such file or directory");
  }
}

// A client certificate that cannot be shown is an error, never a connection
// without it.
TEST_F(MqttAsyncWrapperOfflineTest, AClientCertificateNeedsItsKeyAndTls) {
  const std::pair<const char*, const char*> cases[] = {
      {"ssl://127.0.0.1:8883",
       "mqtt: a client certificate needs both MQTT_CERT_FILE and MQTT_KEY_FILE; only "
       "MQTT_CERT_FILE is set"},
      {"tcp://127.0.0.1:1883",
       "mqtt: client certificate /etc/client.crt given, but the broker address "
       "tcp://127.0.0.1:1883 does not use TLS (ssl:// or mqtts://)"}};
  ::setenv("MQTT_CERT_FILE", "/etc/client.crt", 1);
  for (const auto& [url, message] : cases) {
    if (std::string(url).rfind("tcp", 0) == 0) {
      ::setenv("MQTT_KEY_FILE", "/etc/client.key", 1);
    }
    try {
      MqttAsyncWrapper wrapper("client_certificate", url);
      ADD_FAILURE() << url;
    } catch (const MqttError& e) {
      EXPECT_STREQ(e.what(), message);
    }
  }
}

TEST_F(MqttAsyncWrapperOfflineTest, MalformedBrokerUrlIsRejectedWithTheUrl) {
  ::setenv("MQTT_BROKER_URL", "bogus://127.0.0.1:1883", 1);
  try {
    MqttAsyncWrapper wrapper("bad_url");
    wrapper.Connect(true, nullptr, nullptr);
    FAIL() << "a malformed URL was accepted";
  } catch (const MqttError& e) {
    EXPECT_NE(std::string(e.what()).find("bogus://127.0.0.1:1883"), std::string::npos)
        << e.what();
  }
}

TEST(MqttTopicMatchesTest, FollowsMqttWildcardRules) {
  struct Case {
    const char* filter;
    const char* topic;
    bool matches;
  };
  const Case cases[] = {
      {"/#", "/tl/bridge/configuration", true},
      {"/#", "tl/bridge", false},
      {"/#", "/", true},
      {"a/b", "a/b", true},
      {"a/b", "a/b/c", false},
      {"a/b/c", "a/b", false},
      {"a/+", "a/b", true},
      {"a/+", "a/", true},
      {"a/+", "a", false},
      {"a/+", "a/b/c", false},
      {"+/+", "/x", true},
      {"a/#", "a", true},
      {"a/#", "a/b/c", true},
      {"a/#", "ab", false},
      {"#", "anything/at/all", true},
      {"#", "$SYS/broker", false},
      {"+/broker", "$SYS/broker", false},
      {"$SYS/#", "$SYS/broker", true},
      {"a/#/b", "a/x/b", false},
      {"", "a", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MqttAsyncWrapper::TopicMatches(c.filter, c.topic), c.matches)
        << "filter '" << c.filter << "' topic '" << c.topic << "'";
  }
}

}  // namespace
