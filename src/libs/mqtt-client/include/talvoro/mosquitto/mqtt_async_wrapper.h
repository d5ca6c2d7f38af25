#pragma once
// MQTT client for the service, built on the Paho MQTT C asynchronous client.
//
// MqttAsyncWrapper owns one MQTTAsync handle and a queue of received
// messages. It connects in the background and keeps reconnecting (1 s growing
// to 30 s between attempts) for as long as it lives; every subscription is
// remembered and issued again after each (re)connection. Received messages are
// copied into the queue by the library's callback thread and handed out by
// Receive in arrival order; nothing is dropped inside the wrapper. Publishing
// while disconnected buffers a bounded number of messages in the client
// library. Errors of the client library are thrown as MqttError carrying the
// library's error text. The destructor disconnects and joins everything, also
// when the broker was never reached.
//
// Broker address: the environment variable MQTT_BROKER_URL, default
// "tcp://127.0.0.1:1883".

#include <MQTTAsync.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace talvoro::mosquitto {

// MQTT quality-of-service levels.
enum class Qos : int {
  AtMostOnce = 0,
  AtLeastOnce = 1,
  ExactlyOnce = 2,
};

// A failure of the MQTT client library; what() names the operation, the
// object and the library's error text.
class MqttError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Receive with a time limit found no message in time.
class ReceiveTimeout : public MqttError {
 public:
  using MqttError::MqttError;
};

// One received message: the topic and the payload bytes exactly as received
// (any bytes, NUL included).
struct Message {
  std::string topic;
  std::vector<char> payload;
};

class MqttAsyncWrapper {
 public:
  using SuccessCallback = MQTTAsync_onSuccess*;  // void (*)(void*, MQTTAsync_successData*)
  using FailureCallback = MQTTAsync_onFailure*;  // void (*)(void*, MQTTAsync_failureData*)

  // Upper bound of messages published while disconnected that are kept until
  // the link is back.
  static constexpr int kMaxBufferedMessages = 1000;

  // Creates the client; it presents itself to the broker as `clientId`.
  // Throws MqttError when the client library refuses to create it.
  explicit MqttAsyncWrapper(const std::string& clientId);
  ~MqttAsyncWrapper();

  MqttAsyncWrapper(const MqttAsyncWrapper&) = delete;
  MqttAsyncWrapper& operator=(const MqttAsyncWrapper&) = delete;

  // Starts connecting and returns at once; when the broker is not up yet the
  // client keeps trying in the background. `cleanSession` asks the broker for
  // a clean session. The callbacks (may be null) are called once, on a
  // library thread, with this wrapper as context, when the first connection
  // attempt succeeds or fails. Returns true. Throws MqttError when the
  // request is refused (e.g. a malformed broker address).
  bool Connect(bool cleanSession, SuccessCallback onSuccess,
               FailureCallback onFailure);

  // Subscribes to `topicFilter` with `qos` and remembers the subscription for
  // every later reconnection. `waitForCompletion`: when true and connected,
  // block until the broker acknowledged it (at most 10 s). The callbacks (may
  // be null) report the broker's answer to the request made now, with this
  // wrapper as context. Returns true when the request went out now, false
  // when it was only remembered because the link is down; it goes out as soon
  // as the link is up. Throws MqttError when the library refuses the request.
  bool Subscribe(const std::string& topicFilter, Qos qos,
                 bool waitForCompletion, SuccessCallback onSuccess,
                 FailureCallback onFailure);

  // Waits for the oldest received message whose topic matches `topicFilter`
  // (MQTT filter syntax, "+" and "#" wildcards) and returns it; messages that
  // do not match stay queued for a later call. `timeoutMs`: 0 or less waits
  // without limit; a positive value waits at most that many milliseconds and
  // then throws ReceiveTimeout. Throws MqttError when the wrapper is being
  // destroyed.
  Message Receive(const std::string& topicFilter, int timeoutMs);

  // Like Receive, but nothing (instead of ReceiveTimeout) when no matching
  // message came within `timeout`; 0 takes only what is already queued.
  std::optional<Message> TryReceive(const std::string& topicFilter,
                                    std::chrono::milliseconds timeout);

  // Publishes `payload` on `topic` with `qos`; `retained` asks the broker to
  // keep it as the topic's last known value. While disconnected the message
  // waits in a bounded buffer (kMaxBufferedMessages). Returns true when the
  // library accepted the message. Throws MqttError when it refused it (e.g.
  // the buffer is full).
  bool Send(const std::string& topic, const std::string& payload, Qos qos,
            bool retained);

  // True when MQTT topic filter `filter` matches topic `topic`.
  static bool TopicMatches(const std::string& filter, const std::string& topic);

 private:
  struct Subscription {
    std::string filter;
    Qos qos;
  };

  // Owns the MQTTAsync handle; MQTTAsync_destroy needs its address.
  struct HandleDestroyer {
    void operator()(void* handle) const noexcept;
  };
  using Handle = std::unique_ptr<void, HandleDestroyer>;

  // Paho callbacks; each gets this wrapper as context.
  static void onConnected(void* context, char* cause);
  static void onConnectionLost(void* context, char* cause);
  static int onMessageArrived(void* context, char* topicName, int topicLen,
                              MQTTAsync_message* message);
  static void onConnectSuccess(void* context, MQTTAsync_successData* data);
  static void onConnectFailure(void* context, MQTTAsync_failureData* data);
  static void onDisconnectSuccess(void* context, MQTTAsync_successData* data);
  static void onDisconnectFailure(void* context, MQTTAsync_failureData* data);

  bool remember(const Subscription& subscription);
  void forget(const std::string& filter);
  int requestSubscription(const Subscription& subscription,
                          MQTTAsync_responseOptions& options);
  void resubscribeAll() noexcept;
  std::deque<Message>::iterator findMatch(const std::string& topicFilter);
  void disconnect() noexcept;
  void markDisconnectDone() noexcept;

  std::string serverUri_;
  std::string clientId_;

  // The user's connect callbacks, reported once for the first attempt only;
  // the library may report every retry of a failed first connect.
  SuccessCallback connectSuccess_ = nullptr;
  FailureCallback connectFailure_ = nullptr;
  std::atomic<bool> connectReported_{false};

  std::mutex mutex_;
  std::condition_variable queueChanged_;    // also signals stopping_
  std::condition_variable receiversGone_;   // activeReceivers_ dropped to 0
  std::condition_variable disconnectDone_;  // disconnected_ became true
  std::deque<Message> queue_;
  std::vector<Subscription> subscriptions_;
  int activeReceivers_ = 0;
  bool connected_ = false;
  bool stopping_ = false;
  bool disconnected_ = false;

  Handle client_;
};

}  // namespace talvoro::mosquitto
