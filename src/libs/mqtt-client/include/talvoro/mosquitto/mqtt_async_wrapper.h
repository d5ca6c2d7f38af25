#pragma once
// MQTT client for the service, built on the Paho MQTT C asynchronous client.
//
// MqttAsyncWrapper owns one MQTTAsync handle and a link thread, and puts
// together the parts that do the work: the bounded queue of received
// messages (ReceiveQueue), the publication window (PublicationWindow), the
// subscriptions, which are issued again after each (re)connection and whose
// answers are kept (Acknowledged), the reconnection with its keepalive
// (Reconnection, LinkCheck) and the broker access (BrokerAccess). It connects
// in the background and keeps reconnecting (1 s growing to 30 s between
// attempts) for as long as it lives.
//
// Threads: the library's threads run the callbacks; they copy each received
// message into the receive queue, which Receive/TryReceive hand out in
// arrival order. When the queued bytes reach the queue limit the arrival
// callback waits for Receive to make room, so that the library reads no
// further from its socket and the broker holds the rest (it keeps up to its
// max_queued_messages per client, then drops QoS 0 messages). That wait is
// bounded (kArrivalWait; kSharedArrivalWait while other clients share the
// library's one receiving thread in this process), so that the broker's
// acknowledgements and other clients' messages still get read. Send and
// Subscribe run their library calls through the queue, which keeps them from
// waiting for the library's lock that the waiting callback holds.
//
// Keepalive: the library's own (kKeepAliveSeconds) is kept quiet by the
// link thread, which probes the link when nothing was heard or sent for 10 s
// and closes it when the broker answered nothing for 20 s after a probe
// (LinkCheck), then reconnects: a frozen broker is noticed within about 30 s,
// a broker busy with a backlog never taken for dead.
//
// Failures: connection trouble is reported to the event listener (see
// LinkEvent), rate-limited for long outages; errors inside callbacks and
// publications given up go there too (to stderr without a listener). Errors
// of calls are thrown as MqttError carrying the library's error text.
// Publications go through the publication window, which never has more with
// the library than its buffer takes (MQTT_PUBLICATION_WINDOW, at most
// kMaxBufferedMessages); the rest wait in order; one the library gives up
// when the link breaks goes again. The destructor wakes every waiter, sends
// what still waits (at most kStopDrainWait while the link is up), disconnects
// and joins everything, also when the broker was never reached.
//
// Environment: MQTT_BROKER_URL, default "tcp://127.0.0.1:1883" ("ssl://" or
// "mqtts://" for TLS); MQTT_USERNAME; MQTT_PASSWORD_FILE, a file holding the
// password (one trailing newline is not part of it); MQTT_CA_FILE, the CA
// certificate that the TLS broker's certificate must be signed by (default:
// the system's trust store); MQTT_PUBLICATION_WINDOW, the publications handed
// to the library at a time (1 to kMaxBufferedMessages, the default).

#include <MQTTAsync.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "talvoro/mosquitto/detail/broker_access.h"
#include "talvoro/mosquitto/detail/reconnection.h"
#include "talvoro/mosquitto/detail/subscriptions.h"
#include "talvoro/mosquitto/mqtt_types.h"
#include "talvoro/mosquitto/publication_window.h"
#include "talvoro/mosquitto/receive_queue.h"

namespace talvoro::mosquitto {

class MqttAsyncWrapper {
 public:
  using SuccessCallback = MQTTAsync_onSuccess*;  // void (*)(void*, MQTTAsync_successData*)
  using FailureCallback = MQTTAsync_onFailure*;  // void (*)(void*, MQTTAsync_failureData*)
  using EventListener = std::function<void(const LinkEvent&)>;
  using DeliveryListener = mosquitto::DeliveryListener;

  // The publish commands that the client library buffers (connected or not)
  // before it refuses more; the publication window's largest size.
  static constexpr int kMaxBufferedMessages = 1000;
  // Default bound of the bytes (payloads and topics) waiting in the receive
  // queue.
  static constexpr std::size_t kDefaultReceiveQueueLimit = 32 * 1024 * 1024;
  // How long a received message waits for room in a full receive queue
  // before it is queued beyond the limit: alone in the process, and while
  // other clients share the library's receiving thread.
  static constexpr std::chrono::milliseconds kArrivalWait{5000};
  static constexpr std::chrono::milliseconds kSharedArrivalWait{20};
  // The library's MQTT keepalive; the broker drops a client silent for 1.5
  // times this. The link thread's probes keep the library from using it
  // while the link works (see LinkCheck).
  static constexpr int kKeepAliveSeconds = 30;
  // How long the destructor waits for the publications still on their way.
  static constexpr std::chrono::milliseconds kStopDrainWait{5000};

  // Creates the client; it presents itself to the broker as `clientId`.
  // Reads the broker address and credentials from the environment. Throws
  // MqttError when the client library refuses to create it, or when the
  // password or CA file cannot be read (naming the file, never the password).
  explicit MqttAsyncWrapper(const std::string& clientId);
  // The same for the broker at `brokerUri`, whatever MQTT_BROKER_URL says;
  // the credentials still come from the environment.
  MqttAsyncWrapper(const std::string& clientId, const std::string& brokerUri);
  // The same, logging in as `login` says when it is given.
  MqttAsyncWrapper(const std::string& clientId, const std::string& brokerUri,
                   const std::optional<Login>& login);
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
  // when the library refuses the request (like Send, while the receive queue
  // is full the refusal may go to the event listener instead).
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

  // Waits until a message arrives at the empty receive queue, the link
  // changes (connected, lost, a subscription answered), `descriptor` (if not
  // negative) becomes readable, or `timeout` (none: no limit) passes; for a
  // consumer that takes every message with TryReceive and sleeps in between.
  // Returns true when `descriptor` is readable.
  bool AwaitActivity(int descriptor, std::optional<std::chrono::milliseconds> timeout);

  // Messages waiting in the receive queue.
  std::size_t Pending() const;
  // Bytes waiting in the receive queue, now and at most so far.
  std::size_t QueuedBytes() const;
  std::size_t PeakQueuedBytes() const;

  // Publishes `payload` on `topic` with `qos`; `retained` asks the broker to
  // keep it as the topic's last known value. The message goes through the
  // publication window: to the library at once when there is room, else it
  // waits there, in order, also while disconnected; Send never waits for
  // room. Returns true. Throws MqttError when the library at once refused it
  // for good (e.g. a malformed topic); a later refusal goes to the event
  // listener (LinkEvent::Error). A message the library gives up because the
  // link broke goes again.
  bool Send(const std::string& topic, const std::string& payload, Qos qos,
            bool retained);
  // The same, and `onDelivery` learns on a library thread whether the
  // message was delivered; such a message is not sent again. It is never
  // called once destruction has begun, nor when Send throws.
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
  // Owns the MQTTAsync handle; MQTTAsync_destroy needs its address.
  struct HandleDestroyer {
    void operator()(void* handle) const noexcept;
  };
  using Handle = std::unique_ptr<void, HandleDestroyer>;

  // The Connect call's callbacks, reported once, for the first attempt.
  struct FirstAttempt {
    bool cleanSession = true;
    SuccessCallback onSuccess = nullptr;
    FailureCallback onFailure = nullptr;
    std::atomic<bool> reported{false};
  };

  // The final disconnect's answer.
  struct Disconnection {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
  };

  // Paho callbacks; each gets this wrapper as context.
  static void onConnected(void* context, char* cause);
  static void onConnectionLost(void* context, char* cause);
  static int onMessageArrived(void* context, char* topicName, int topicLen,
                              MQTTAsync_message* message);
  static void onConnectSuccess(void* context, MQTTAsync_successData* data);
  static void onConnectFailure(void* context, MQTTAsync_failureData* data);
  static void onDisconnectSuccess(void* context, MQTTAsync_successData* data);
  static void onDisconnectFailure(void* context, MQTTAsync_failureData* data);
  static void onDropped(void* context, MQTTAsync_successData* data);
  static void onDropFailed(void* context, MQTTAsync_failureData* data);
  static void onProbeAnswered(void* context, MQTTAsync_successData* data);

  detail::Subscriptions::Hooks subscriptionHooks();
  PublicationWindow::Hooks windowHooks();
  int requestConnection();
  void linkLoop();
  void probe();
  void dropLink();
  void connectionUp() noexcept;
  void connectionDown(const std::string& cause) noexcept;
  void attemptFailed(const MQTTAsync_failureData& data) noexcept;
  std::optional<int> callLibrary(ReceiveQueue::Call call, ReceiveQueue::LateResult late);
  std::optional<Message> take(const std::string& topicFilter,
                              std::optional<ReceiveQueue::Clock::time_point> deadline);
  void drainPublications() noexcept;
  void disconnect() noexcept;
  void emit(LinkEvent::Kind kind, const std::string& text) const noexcept;

  const std::string clientId_;
  detail::BrokerAccess access_;
  EventListener listener_;
  std::optional<detail::Will> will_;
  FirstAttempt firstAttempt_;
  ReceiveQueue queue_{kDefaultReceiveQueueLimit};
  detail::Reconnection reconnection_;
  detail::Subscriptions subscriptions_;
  PublicationWindow window_;
  Disconnection disconnection_;
  std::thread linkThread_;
  // Last: destroyed first, so that no callback outlives the parts.
  Handle client_;
};

}  // namespace talvoro::mosquitto
