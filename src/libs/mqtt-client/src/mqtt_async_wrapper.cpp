#include "talvoro/mosquitto/mqtt_async_wrapper.h"

#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <utility>

#include "library_callback.h"
#include "link_texts.h"

namespace talvoro::mosquitto {
namespace {

using namespace std::chrono_literals;
using detail::callUserCallback;
using detail::check;
using detail::errorText;
using detail::LibraryCallback;

// In-flight messages get this long to complete when the wrapper goes away;
// the wait for the library's answer adds a margin on top.
constexpr int kDisconnectTimeoutMs = 1000;
constexpr auto kDisconnectWait = std::chrono::milliseconds(kDisconnectTimeoutMs + 2000);
constexpr auto kSubscribeWait = 10s;
// A filter that no client of ours subscribes: the broker answers its
// UNSUBSCRIBE all the same, and that answer is what a probe of the link wants.
constexpr const char* kProbeFilter = "talvoro/link-check";

// The clients of this process, which share the library's receiving thread.
std::atomic<int> liveClients{0};

std::string brokerUrlFromEnvironment() {
  const char* url = std::getenv("MQTT_BROKER_URL");
  return url != nullptr ? url : "";
}

}  // namespace

void MqttAsyncWrapper::HandleDestroyer::operator()(void* handle) const noexcept {
  MQTTAsync_destroy(&handle);
}

MqttAsyncWrapper::MqttAsyncWrapper(const std::string& clientId)
    : MqttAsyncWrapper(clientId, brokerUrlFromEnvironment()) {}

MqttAsyncWrapper::MqttAsyncWrapper(const std::string& clientId, const std::string& brokerUri)
    : MqttAsyncWrapper(clientId, brokerUri, std::nullopt) {}

MqttAsyncWrapper::MqttAsyncWrapper(const std::string& clientId, const std::string& brokerUri,
                                   const std::optional<Login>& login)
    : clientId_(clientId),
      access_(brokerUri, login),
      reconnection_(access_.uri()),
      subscriptions_(this, access_.uri(), clientId_, subscriptionHooks()),
      window_(PublicationWindow::capacityFromEnvironment(kMaxBufferedMessages), windowHooks()) {
  MQTTAsync_createOptions options = MQTTAsync_createOptions_initializer;
  options.MQTTVersion = MQTTVERSION_3_1_1;
  options.sendWhileDisconnected = 1;
  options.allowDisconnectedSendAtAnyTime = 1;
  options.maxBufferedMessages = kMaxBufferedMessages;
  options.deleteOldestMessages = 0;  // a full buffer is an error, not a silent drop

  MQTTAsync handle = nullptr;
  check(MQTTAsync_createWithOptions(&handle, access_.uri().c_str(), clientId_.c_str(),
                                    MQTTCLIENT_PERSISTENCE_NONE, nullptr, &options),
        fmt::format("cannot create client {} for {}", clientId_, access_.uri()));
  client_.reset(handle);
  check(MQTTAsync_setCallbacks(handle, this, &onConnectionLost, &onMessageArrived, nullptr),
        fmt::format("cannot set callbacks of client {}", clientId_));
  check(MQTTAsync_setConnected(handle, this, &onConnected),
        fmt::format("cannot set connected callback of client {}", clientId_));
  ++liveClients;
}

MqttAsyncWrapper::~MqttAsyncWrapper() {
  window_.muteListeners();
  reconnection_.stop();
  subscriptions_.stop();
  // Wakes every Receive and an arrival waiting for room, and runs the
  // library calls still queued there; from now on arrivals are let go, so
  // that the broker's acknowledgements come through.
  queue_.close();
  if (linkThread_.joinable()) {
    linkThread_.join();
  }
  drainPublications();
  window_.stop();
  disconnect();
  // Outside every lock: destroy may still run callbacks that take them.
  client_.reset();
  --liveClients;
}

detail::Subscriptions::Hooks MqttAsyncWrapper::subscriptionHooks() {
  return {[this] { reconnection_.heard(); }, [this] { queue_.signalActivity(); },
          [this](LinkEvent::Kind kind, const std::string& text) { emit(kind, text); }};
}

PublicationWindow::Hooks MqttAsyncWrapper::windowHooks() {
  const auto issue = [this](const PublicationWindow::Ticket& ticket) {
    const std::optional<int> rc =
        callLibrary([this, &ticket] { return ticket.sendWith(client_.get()); },
                    [this, &ticket](int late) { window_.issued(ticket, late); });
    reconnection_.sent();
    return rc;
  };
  return {issue, [this] { reconnection_.heard(); }, [this] { reconnection_.flushSoon(); },
          [this](const std::string& text) {
            emit(LinkEvent::Kind::Error, fmt::format("{}: {}", access_.uri(), text));
          }};
}

void MqttAsyncWrapper::SetEventListener(EventListener listener) {
  listener_ = std::move(listener);
}

void MqttAsyncWrapper::SetWill(const std::string& topic, const std::string& payload, Qos qos,
                               bool retained) {
  if (payload.size() > static_cast<size_t>(INT_MAX)) {
    throw MqttError(fmt::format("mqtt: client {}: will of {} bytes for {} is too large",
                                clientId_, payload.size(), topic));
  }
  will_ = detail::Will{topic, payload, qos, retained};
}

void MqttAsyncWrapper::SetReceiveQueueLimit(std::size_t bytes) { queue_.setLimit(bytes); }

bool MqttAsyncWrapper::Connect(bool cleanSession, SuccessCallback onSuccess,
                               FailureCallback onFailure) {
  firstAttempt_.cleanSession = cleanSession;
  firstAttempt_.onSuccess = onSuccess;
  firstAttempt_.onFailure = onFailure;
  const std::optional<int> rc = callLibrary([this] { return requestConnection(); }, nullptr);
  check(rc.value_or(MQTTASYNC_SUCCESS),
        fmt::format("cannot connect client {} to {}", clientId_, access_.uri()));
  if (!linkThread_.joinable()) {
    linkThread_ = std::thread([this] { linkLoop(); });
  }
  return true;
}

// One connection attempt; the library answers through onConnectSuccess or
// onConnectFailure. Reconnecting is ours rather than the library's because
// the library reports only the first of its own failed attempts.
int MqttAsyncWrapper::requestConnection() {
  detail::SessionRequest session;
  session.cleanSession = firstAttempt_.cleanSession;
  session.will = will_ ? &*will_ : nullptr;
  session.keepAliveSeconds = kKeepAliveSeconds;
  session.onSuccess = &onConnectSuccess;
  session.onFailure = &onConnectFailure;
  session.context = this;
  return access_.connect(client_.get(), session);
}

void MqttAsyncWrapper::linkLoop() {
  for (;;) {
    switch (reconnection_.next(window_.waiting() > 0)) {
      case detail::Reconnection::Action::Stop:
        return;
      case detail::Reconnection::Action::Connect:
        // Not through the receive queue: nothing of the consumer's waits for it.
        if (const int rc = requestConnection(); rc != MQTTASYNC_SUCCESS) {
          MQTTAsync_failureData refused{};
          refused.code = rc;
          attemptFailed(refused);
        }
        break;
      case detail::Reconnection::Action::Probe:
        probe();
        break;
      case detail::Reconnection::Action::Drop:
        dropLink();
        break;
      case detail::Reconnection::Action::Flush:
        window_.flush();
        break;
    }
  }
}

void MqttAsyncWrapper::probe() {
  MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
  options.onSuccess = &onProbeAnswered;
  options.context = this;
  // Refused only when the link just broke, which the library reports itself.
  callLibrary([this, options]() mutable {
    return MQTTAsync_unsubscribe(client_.get(), kProbeFilter, &options);
  }, nullptr);
}

// Closes a link whose broker stopped answering; the link thread then
// connects again as after any loss.
void MqttAsyncWrapper::dropLink() {
  MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
  options.timeout = 0;  // nothing in flight will be answered
  options.onSuccess = &onDropped;
  options.onFailure = &onDropFailed;
  options.context = this;
  const std::optional<int> rc = callLibrary([this, options]() mutable {
    return MQTTAsync_disconnect(client_.get(), &options);
  }, nullptr);
  if (rc && *rc != MQTTASYNC_SUCCESS) {
    connectionDown(reconnection_.dropCause());  // the library saw the link go already
  }
}

void MqttAsyncWrapper::attemptFailed(const MQTTAsync_failureData& data) noexcept {
  try {
    if (const std::optional<LinkEvent> event =
            reconnection_.attemptFailed(data, access_.takeTlsError(),
                                     access_.refusalHint(data.code))) {
      emit(event->kind, event->text);
    }
    queue_.signalActivity();
  } catch (...) {
  }
}

void MqttAsyncWrapper::connectionUp() noexcept {
  try {
    const std::optional<LinkEvent> event = reconnection_.up();
    if (!event) {
      return;
    }
    emit(event->kind, event->text);
    subscriptions_.requestAll(client_.get(), reconnection_.state().connection);
    reconnection_.sent();
    // What the broken link gave back goes again, on this thread of the library's.
    window_.flush();
    queue_.signalActivity();
  } catch (const std::exception& e) {
    emit(LinkEvent::Kind::Error, fmt::format("{}: {}", access_.uri(), e.what()));
  }
}

void MqttAsyncWrapper::connectionDown(const std::string& cause) noexcept {
  try {
    subscriptions_.linkDown();
    if (const std::optional<LinkEvent> event = reconnection_.down(cause)) {
      emit(event->kind, event->text);
    }
    queue_.signalActivity();
  } catch (...) {
  }
}

std::optional<Message> MqttAsyncWrapper::TryReceive(const std::string& topicFilter,
                                                    std::chrono::milliseconds timeout) {
  return take(topicFilter,
              ReceiveQueue::Clock::now() + std::max(timeout, std::chrono::milliseconds(0)));
}

Message MqttAsyncWrapper::Receive(const std::string& topicFilter, int timeoutMs) {
  if (timeoutMs <= 0) {
    return std::move(*take(topicFilter, std::nullopt));
  }
  std::optional<Message> message = TryReceive(topicFilter, std::chrono::milliseconds(timeoutMs));
  if (!message) {
    throw ReceiveTimeout(fmt::format("mqtt: client {}: no message on {} within {} ms",
                                     clientId_, topicFilter, timeoutMs));
  }
  return std::move(*message);
}

std::optional<Message> MqttAsyncWrapper::take(
    const std::string& topicFilter, std::optional<ReceiveQueue::Clock::time_point> deadline) {
  return queue_.take(
      [&](const std::string& topic) { return TopicMatches(topicFilter, topic); }, deadline, [&] {
        throw MqttError(fmt::format("mqtt: client {}: receive on {} ended: client is shutting down",
                                    clientId_, topicFilter));
      });
}

bool MqttAsyncWrapper::AwaitActivity(int descriptor,
                                     std::optional<std::chrono::milliseconds> timeout) {
  return queue_.awaitActivity(descriptor, timeout);
}

std::size_t MqttAsyncWrapper::Pending() const { return queue_.size(); }

std::size_t MqttAsyncWrapper::QueuedBytes() const { return queue_.bytes(); }

std::size_t MqttAsyncWrapper::PeakQueuedBytes() const { return queue_.peakBytes(); }

bool MqttAsyncWrapper::Send(const std::string& topic, const std::string& payload,
                            Qos qos, bool retained) {
  return Send(topic, payload, qos, retained, nullptr);
}

bool MqttAsyncWrapper::Send(const std::string& topic, const std::string& payload, Qos qos,
                            bool retained, DeliveryListener onDelivery) {
  if (payload.size() > static_cast<size_t>(INT_MAX)) {
    throw MqttError(fmt::format("mqtt: client {}: payload of {} bytes for {} is too large",
                                clientId_, payload.size(), topic));
  }
  window_.submit({topic, payload, qos, retained, std::move(onDelivery)});
  return true;
}

bool MqttAsyncWrapper::Subscribe(const std::string& topicFilter, Qos qos,
                                 bool waitForCompletion, SuccessCallback onSuccess,
                                 FailureCallback onFailure) {
  const detail::Subscriptions::RequestPtr request =
      subscriptions_.add(topicFilter, qos, onSuccess, onFailure);
  if (!request) {
    return false;  // the link is down; the next connection requests it
  }
  const auto abandon = [this, request](int rc) {
    subscriptions_.abandon(request, rc != MQTTASYNC_DISCONNECTED);
  };
  const std::optional<int> rc = callLibrary(
      [this, request] { return detail::Subscriptions::issue(client_.get(), *request); },
      [this, request, abandon](int late) {
        // Subscribe has returned: nobody to throw to.
        if (late != MQTTASYNC_SUCCESS) {
          abandon(late);
          emit(LinkEvent::Kind::Error, fmt::format("{}: cannot subscribe to {}: {}",
                                                   access_.uri(), request->filter,
                                                   errorText(late)));
        }
      });
  if (rc && *rc != MQTTASYNC_SUCCESS) {
    abandon(*rc);
    if (*rc == MQTTASYNC_DISCONNECTED) {
      return false;  // the link just dropped; the reconnection requests it
    }
    check(*rc, fmt::format("cannot subscribe client {} to {}", clientId_, topicFilter));
  }
  reconnection_.sent();
  if (waitForCompletion) {
    subscriptions_.await(*request, kSubscribeWait);
  }
  return true;
}

LinkState MqttAsyncWrapper::Link() const { return reconnection_.state(); }

bool MqttAsyncWrapper::Acknowledged(const std::string& filter, std::uint64_t connection) const {
  return subscriptions_.acknowledged(filter, connection);
}

// Calls from the library's own threads (a callback of ours, or a user
// callback calling Send) run at once: the library then skips its lock.
std::optional<int> MqttAsyncWrapper::callLibrary(ReceiveQueue::Call call,
                                                 ReceiveQueue::LateResult late) {
  if (detail::inLibraryCallback) {
    return call();
  }
  return queue_.perform(std::move(call), std::move(late));
}

void MqttAsyncWrapper::drainPublications() noexcept {
  try {
    const std::size_t left = window_.drain(PublicationWindow::Clock::now() + kStopDrainWait,
                                           [this] { return reconnection_.connected(); });
    if (left > 0) {
      emit(LinkEvent::Kind::Error,
           fmt::format("{}: {} publications not delivered before the client stopped",
                       access_.uri(), left));
    }
  } catch (...) {
  }
}

void MqttAsyncWrapper::disconnect() noexcept {
  MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
  options.timeout = kDisconnectTimeoutMs;
  options.onSuccess = &onDisconnectSuccess;
  options.onFailure = &onDisconnectFailure;
  options.context = this;
  // Any error (typically "not connected") means no callback will come.
  if (MQTTAsync_disconnect(client_.get(), &options) != MQTTASYNC_SUCCESS) {
    return;
  }
  std::unique_lock<std::mutex> lock(disconnection_.mutex);
  disconnection_.done.wait_for(lock, kDisconnectWait, [this] { return disconnection_.finished; });
}

void MqttAsyncWrapper::emit(LinkEvent::Kind kind, const std::string& text) const noexcept {
  try {
    if (listener_) {
      listener_(LinkEvent{kind, text});
    } else if (kind == LinkEvent::Kind::Error) {
      std::cerr << fmt::format("mqtt: client {}: {}\n", clientId_, text);
    }
  } catch (...) {
  }
}

void MqttAsyncWrapper::onConnected(void* context, char* /*cause*/) {
  const LibraryCallback callback;
  static_cast<MqttAsyncWrapper*>(context)->connectionUp();
}

void MqttAsyncWrapper::onConnectionLost(void* context, char* cause) {
  const LibraryCallback callback;
  static_cast<MqttAsyncWrapper*>(context)->connectionDown(cause != nullptr ? cause : "");
}

// How Paho C 1.3.12 (MQTTAsync) treats this callback decides the design:
// - It runs on the library's receiving thread, which holds the library's
//   global mutex meanwhile and reads its socket only between callbacks. So
//   waiting here for room in the queue is what leaves the rest with the
//   broker (TCP flow control).
// - Returning 0 (handing the message back) would not: the library keeps the
//   message in a list of its own, appends every further PUBLISH there without
//   calling back (it calls back directly only while that list is empty), goes
//   on reading the socket, and offers the first again only after another
//   packet arrived. So the message is always taken.
// - Its calls (MQTTAsync_send, MQTTAsync_subscribe) take that mutex, to
//   number the message, unless they run on the library's own threads, which
//   hold it already: that is why they may be called from callbacks. A thread
//   of ours calling in while this waits would wait for ever, and if it is the
//   consumer, nobody makes room. So the consumer's calls go through the queue
//   (callLibrary), which runs them here while this waits.
// - The library's sending thread needs the mutex too: what is published while
//   this waits goes out once it returns, that is once the consumer made room.
// - The thread reads for every client of the process, and reads the broker's
//   acknowledgements: so the wait is bounded, and shortest when other
//   clients share the thread.
int MqttAsyncWrapper::onMessageArrived(void* context, char* topicName, int topicLen,
                                       MQTTAsync_message* message) {
  const LibraryCallback callback;
  auto* self = static_cast<MqttAsyncWrapper*>(context);
  try {
    self->reconnection_.heard();
    const auto* bytes = static_cast<const char*>(message->payload);
    self->queue_.admit(
        Message{topicLen > 0 ? std::string(topicName, static_cast<size_t>(topicLen))
                             : std::string(topicName),
                std::vector<char>(bytes, bytes + std::max(message->payloadlen, 0))},
        liveClients.load() > 1 ? kSharedArrivalWait : kArrivalWait);
  } catch (...) {
    // No memory for the copy: the library keeps it and offers it again later.
    return 0;
  }
  MQTTAsync_freeMessage(&message);
  MQTTAsync_free(topicName);
  return 1;
}

void MqttAsyncWrapper::onConnectSuccess(void* context, MQTTAsync_successData* data) {
  const LibraryCallback callback;
  auto* self = static_cast<MqttAsyncWrapper*>(context);
  if (!self->firstAttempt_.reported.exchange(true) && self->firstAttempt_.onSuccess != nullptr) {
    if (const std::string error = callUserCallback(self->firstAttempt_.onSuccess, self, data);
        !error.empty()) {
      self->emit(LinkEvent::Kind::Error, fmt::format("{}: {}", self->access_.uri(), error));
    }
  }
}

void MqttAsyncWrapper::onConnectFailure(void* context, MQTTAsync_failureData* data) {
  const LibraryCallback callback;
  auto* self = static_cast<MqttAsyncWrapper*>(context);
  MQTTAsync_failureData unknown{};
  unknown.code = MQTTASYNC_FAILURE;
  self->attemptFailed(data != nullptr ? *data : unknown);
  if (!self->firstAttempt_.reported.exchange(true) && self->firstAttempt_.onFailure != nullptr) {
    if (const std::string error = callUserCallback(self->firstAttempt_.onFailure, self, data);
        !error.empty()) {
      self->emit(LinkEvent::Kind::Error, fmt::format("{}: {}", self->access_.uri(), error));
    }
  }
}

void MqttAsyncWrapper::onDisconnectSuccess(void* context, MQTTAsync_successData* /*data*/) {
  const LibraryCallback callback;
  auto* self = static_cast<MqttAsyncWrapper*>(context);
  self->connectionDown("");
  {
    std::lock_guard<std::mutex> lock(self->disconnection_.mutex);
    self->disconnection_.finished = true;
  }
  self->disconnection_.done.notify_all();
}

void MqttAsyncWrapper::onDisconnectFailure(void* context, MQTTAsync_failureData* /*data*/) {
  onDisconnectSuccess(context, nullptr);
}

void MqttAsyncWrapper::onDropped(void* context, MQTTAsync_successData* /*data*/) {
  const LibraryCallback callback;
  auto* self = static_cast<MqttAsyncWrapper*>(context);
  self->connectionDown(self->reconnection_.dropCause());
}

void MqttAsyncWrapper::onDropFailed(void* context, MQTTAsync_failureData* /*data*/) {
  onDropped(context, nullptr);
}

void MqttAsyncWrapper::onProbeAnswered(void* context, MQTTAsync_successData* /*data*/) {
  static_cast<MqttAsyncWrapper*>(context)->reconnection_.heard();
}

}  // namespace talvoro::mosquitto
