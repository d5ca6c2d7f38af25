#pragma once
// MQTT client for the service, built on the Paho MQTT C asynchronous client.
//
// MqttAsyncWrapper owns one MQTTAsync handle, a bounded queue of received
// messages and a reconnecting thread. It connects in the background and keeps
// reconnecting (1 s growing to 30 s between attempts) for as long as it lives;
// every subscription is remembered and issued again after each
// (re)connection, and the broker's answer to each one is kept (Acknowledged).
//
// Threads: the library's threads run the callbacks; they copy each received
// message into the queue, which Receive/TryReceive hand out in arrival order.
// When the queued bytes reach the queue limit the arrival callback waits for
// Receive to make room, which leaves the rest with the broker (it keeps up to
// its max_queued_messages per client). That wait holds the library's own
// lock, which Paho's send and subscribe calls also take; so while a Send,
// Subscribe or reconnection of another thread is under way the callback hands
// the message back to the library (kept, offered again) instead of waiting.
// The keepalive (kKeepAliveSeconds) is long because nothing reaches the
// broker while the callback waits: the link survives a consumer that leaves
// the queue full for up to that long.
//
// Failures: connection trouble is reported to the event listener (see
// LinkEvent), rate-limited for long outages; errors inside callbacks go there
// too (to stderr without a listener). Errors of calls are thrown as MqttError
// carrying the library's error text. Publishing while disconnected buffers a
// bounded number of messages in the client library; a DeliveryListener given
// to Send learns when the broker acknowledged the message. The destructor wakes
// every waiter, disconnects and joins everything, also when the broker was
// never reached.
//
// Environment: MQTT_BROKER_URL, default "tcp://127.0.0.1:1883" ("ssl://" or
// "mqtts://" for TLS); MQTT_USERNAME; MQTT_PASSWORD_FILE, a file holding the
// password (one trailing newline is not part of it); MQTT_CA_FILE, the CA
// certificate that the TLS broker's certificate must be signed by (default:
// the system's trust store).

#include <MQTTAsync.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "talvoro/mosquitto/failure_report_throttle.h"

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

// Something that happened to the link to the broker, for the log. `text` is
// one line of English: the server URI and what happened, for failures with
// the broker's or the library's reason.
struct LinkEvent {
  enum class Kind {
    Connected,       // a (re)connection; after failures, how many and how long
    ConnectFailed,   // attempts failed (the first at once, then summarised)
    ConnectionLost,  // an established link broke
    Error,           // an error inside a callback (nobody to throw to)
  } kind;
  std::string text;
};

// The link as the service sees it. `connection` counts the successful
// connections (CONNACKs) since construction. While the link is down,
// `lastFailure` says why, as the LinkEvent of that failure does (empty before
// the first attempt ended), and `refusedWith` is the broker's CONNACK return
// code when the last attempt was refused by the broker (4: bad user name or
// password, 5: not authorised), 0 otherwise.
struct LinkState {
  bool connected = false;
  std::uint64_t connection = 0;
  std::string lastFailure;
  int refusedWith = 0;
};

class MqttAsyncWrapper {
 public:
  using SuccessCallback = MQTTAsync_onSuccess*;  // void (*)(void*, MQTTAsync_successData*)
  using FailureCallback = MQTTAsync_onFailure*;  // void (*)(void*, MQTTAsync_failureData*)
  using EventListener = std::function<void(const LinkEvent&)>;
  // Told once whether a publication was delivered: true when the broker
  // acknowledged it (QoS 1 and 2; QoS 0: when it was written to the socket),
  // false when the library gave it up.
  using DeliveryListener = std::function<void(bool delivered)>;

  // Upper bound of messages published while disconnected that are kept until
  // the link is back.
  static constexpr int kMaxBufferedMessages = 1000;
  // Default bound of the bytes (payloads and topics) waiting in the receive
  // queue.
  static constexpr std::size_t kDefaultReceiveQueueLimit = 32 * 1024 * 1024;
  // MQTT keepalive. Neither side sends anything while the arrival callback
  // waits for room, and the broker drops a client silent for 1.5 times this.
  static constexpr int kKeepAliveSeconds = 300;

  // Creates the client; it presents itself to the broker as `clientId`.
  // Reads the broker address and credentials from the environment. Throws
  // MqttError when the client library refuses to create it, or when the
  // password or CA file cannot be read (naming the file, never the password).
  explicit MqttAsyncWrapper(const std::string& clientId);
  // The same for the broker at `brokerUri`, whatever MQTT_BROKER_URL says;
  // the credentials still come from the environment.
  MqttAsyncWrapper(const std::string& clientId, const std::string& brokerUri);
  ~MqttAsyncWrapper();

  MqttAsyncWrapper(const MqttAsyncWrapper&) = delete;
  MqttAsyncWrapper& operator=(const MqttAsyncWrapper&) = delete;

  // Receives every LinkEvent from now on; set it before Connect. It is called
  // on library threads, never while the wrapper holds its lock; whatever it
  // throws is ignored.
  void SetEventListener(EventListener listener);

  // The message the broker publishes when the link breaks without a
  // disconnect; set it before Connect. Used for every connection attempt.
  void SetWill(const std::string& topic, const std::string& payload, Qos qos,
               bool retained);

  // Bytes (payloads and topics) the receive queue may hold before arrivals
  // wait for room; a single larger message is still taken into an empty
  // queue. Default kDefaultReceiveQueueLimit.
  void SetReceiveQueueLimit(std::size_t bytes);

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
  // block until the broker answered (at most 10 s) and throw MqttError when it
  // did not grant it (while the receive queue is full, the answer comes only
  // once Receive made room). The callbacks (may be null) report the broker's answer
  // to the request made now, with this wrapper as context. Returns true when
  // the request went out now, false when it was only remembered because the
  // link is down; it goes out as soon as the link is up. Throws MqttError
  // when the library refuses the request.
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

  // Like Receive, but nullopt when no matching message came within `timeout`
  // (0: only what is queued already).
  std::optional<Message> TryReceive(const std::string& topicFilter,
                                    std::chrono::milliseconds timeout);

  // Messages waiting in the receive queue.
  std::size_t Pending() const;
  // Bytes waiting in the receive queue, now and at most so far.
  std::size_t QueuedBytes() const;
  std::size_t PeakQueuedBytes() const;

  // Publishes `payload` on `topic` with `qos`; `retained` asks the broker to
  // keep it as the topic's last known value. While disconnected the message
  // waits in a bounded buffer (kMaxBufferedMessages). Returns true when the
  // library accepted the message. Throws MqttError when it refused it (e.g.
  // the buffer is full).
  bool Send(const std::string& topic, const std::string& payload, Qos qos,
            bool retained);
  // The same, and `onDelivery` learns on a library thread whether the
  // message was delivered. It is never called once destruction has begun,
  // nor when Send throws.
  bool Send(const std::string& topic, const std::string& payload, Qos qos,
            bool retained, DeliveryListener onDelivery);

  LinkState Link() const;

  // True when the broker granted the subscription to `filter` during
  // connection number `connection` (see LinkState) and that connection is
  // still up.
  bool Acknowledged(const std::string& filter, std::uint64_t connection) const;

  // True when MQTT topic filter `filter` matches topic `topic`.
  static bool TopicMatches(const std::string& filter, const std::string& topic);

 private:
  struct Subscription {
    std::string filter;
    Qos qos;
  };

  // One subscription request in flight; the library's answer finds it
  // through the callback context.
  struct SubscriptionRequest {
    MqttAsyncWrapper* owner;
    std::string filter;
    std::uint64_t connection;
    SuccessCallback onSuccess;
    FailureCallback onFailure;
    bool answered = false;
    bool granted = false;
  };
  using RequestPtr = std::shared_ptr<SubscriptionRequest>;

  // A publication whose delivery someone waits for; the library's answer
  // finds it through the callback context.
  struct Delivery {
    MqttAsyncWrapper* owner;
    DeliveryListener listener;
  };

  struct Will {
    std::string topic;
    std::string payload;
    Qos qos;
    bool retained;
  };

  // Where and as whom to connect, from the environment.
  struct BrokerAccess {
    std::string uri;
    std::string username;
    std::string password;
    std::string caFile;
    bool tls = false;
  };

  // Owns the MQTTAsync handle; MQTTAsync_destroy needs its address.
  struct HandleDestroyer {
    void operator()(void* handle) const noexcept;
  };
  using Handle = std::unique_ptr<void, HandleDestroyer>;

  // Marks a call into the client library made from a thread of ours; see
  // the class comment.
  class LibraryCall {
   public:
    explicit LibraryCall(MqttAsyncWrapper& owner);
    ~LibraryCall();
    LibraryCall(const LibraryCall&) = delete;
    LibraryCall& operator=(const LibraryCall&) = delete;

   private:
    MqttAsyncWrapper& owner_;
  };

  enum class Arrival { Taken, Dropped, HandedBack };
  using Clock = std::chrono::steady_clock;

  // Paho callbacks; each gets this wrapper (or a request) as context.
  static void onConnected(void* context, char* cause);
  static void onConnectionLost(void* context, char* cause);
  static int onMessageArrived(void* context, char* topicName, int topicLen,
                              MQTTAsync_message* message);
  static void onConnectSuccess(void* context, MQTTAsync_successData* data);
  static void onConnectFailure(void* context, MQTTAsync_failureData* data);
  static void onDisconnectSuccess(void* context, MQTTAsync_successData* data);
  static void onDisconnectFailure(void* context, MQTTAsync_failureData* data);
  static void onSubscribeSuccess(void* context, MQTTAsync_successData* data);
  static void onSubscribeFailure(void* context, MQTTAsync_failureData* data);
  static void onSendSuccess(void* context, MQTTAsync_successData* data);
  static void onSendFailure(void* context, MQTTAsync_failureData* data);
  static int onTlsError(const char* text, size_t length, void* context);

  static BrokerAccess brokerAccessFromEnvironment(std::string uri);
  int requestConnection();
  void reconnectLoop();
  void scheduleReconnect(Clock::duration delay);
  void connectionUp() noexcept;
  void connectionDown(const char* cause) noexcept;
  void connectAttemptFailed(const MQTTAsync_failureData& data) noexcept;

  Arrival admit(const char* topicName, int topicLen, const MQTTAsync_message& message);
  void remember(const Subscription& subscription);
  RequestPtr newRequest(const std::string& filter, SuccessCallback onSuccess,
                        FailureCallback onFailure);
  void abandon(const RequestPtr& request, const std::string& forgetFilter);
  int requestSubscription(const Subscription& subscription, const RequestPtr& request);
  void awaitAnswer(const SubscriptionRequest& request);
  void subscriptionAnswered(SubscriptionRequest& request, bool granted, int code) noexcept;
  void resubscribeAll(const std::vector<std::pair<Subscription, RequestPtr>>& pending) noexcept;
  std::optional<Message> take(const std::string& topicFilter,
                              std::optional<Clock::time_point> deadline);
  std::deque<Message>::iterator findMatch(const std::string& topicFilter);
  void disconnect() noexcept;
  void markDisconnectDone() noexcept;
  void emit(LinkEvent::Kind kind, const std::string& text) const noexcept;
  void reportCallbackError(const std::string& error) const noexcept;
  void deliveryAnswered(Delivery* delivery, bool delivered) noexcept;

  BrokerAccess access_;
  std::string clientId_;
  EventListener listener_;
  std::optional<Will> will_;
  bool cleanSession_ = true;

  // The user's connect callbacks, reported once for the first attempt only.
  SuccessCallback connectSuccess_ = nullptr;
  FailureCallback connectFailure_ = nullptr;
  std::atomic<bool> connectReported_{false};

  mutable std::mutex mutex_;
  std::condition_variable queueChanged_;    // a message queued, or stopping_
  std::condition_variable roomMade_;        // see admit(); also stopping_
  std::condition_variable receiversGone_;   // activeReceivers_ dropped to 0
  std::condition_variable disconnectDone_;  // disconnected_ became true
  std::condition_variable answered_;        // a subscription was answered
  std::condition_variable reconnectDue_;    // reconnectAt_ set, or stopping_
  std::deque<Message> queue_;
  std::size_t queuedBytes_ = 0;
  std::size_t peakQueuedBytes_ = 0;
  std::size_t queueLimit_ = kDefaultReceiveQueueLimit;
  int libraryCalls_ = 0;
  std::vector<Subscription> subscriptions_;
  // Unanswered requests stay until the wrapper goes: the library may still
  // answer (fail) them late.
  std::list<RequestPtr> requests_;
  std::map<std::string, std::uint64_t> granted_;  // filter -> connection
  int activeReceivers_ = 0;
  bool connected_ = false;
  std::uint64_t connection_ = 0;
  bool stopping_ = false;
  bool disconnected_ = false;
  std::optional<Clock::time_point> reconnectAt_;
  Clock::duration retryDelay_;
  FailureReportThrottle failures_;
  std::string lastTlsError_;
  std::string lastFailure_;
  int refusedWith_ = 0;
  // Deliveries not answered yet; the library may answer them until
  // MQTTAsync_destroy returns.
  std::list<std::unique_ptr<Delivery>> deliveries_;

  std::thread reconnector_;
  Handle client_;
};

}  // namespace talvoro::mosquitto
