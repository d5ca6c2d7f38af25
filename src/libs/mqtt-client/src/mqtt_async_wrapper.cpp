#include "talvoro/mosquitto/mqtt_async_wrapper.h"

#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <utility>

#include "library_callback.h"
#include "link_texts.h"

namespace talvoro::mosquitto {
namespace {

using namespace std::chrono_literals;
using detail::callUserCallback;

// CONNACK return codes from here on refuse the credentials: 4 bad user name
// or password, 5 not authorised.
constexpr int kBadCredentials = 4;
using detail::check;
using detail::connectFailureText;
using detail::durationText;
using detail::errorText;
using detail::inLibraryCallback;
using detail::LibraryCallback;

constexpr std::chrono::steady_clock::duration kMinRetryDelay = 1s;
constexpr std::chrono::steady_clock::duration kMaxRetryDelay = 30s;
// In-flight messages get this long to complete when the wrapper goes away;
// the wait for the library's answer adds a margin on top.
constexpr int kDisconnectTimeoutMs = 1000;
constexpr auto kDisconnectWait = std::chrono::milliseconds(kDisconnectTimeoutMs + 2000);

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
    : access_(brokerAccessFromEnvironment(brokerUri)),
      clientId_(clientId),
      retryDelay_(kMinRetryDelay) {
  MQTTAsync_createOptions options = MQTTAsync_createOptions_initializer;
  options.MQTTVersion = MQTTVERSION_3_1_1;
  options.sendWhileDisconnected = 1;
  options.allowDisconnectedSendAtAnyTime = 1;
  options.maxBufferedMessages = kMaxBufferedMessages;
  options.deleteOldestMessages = 0;  // a full buffer is an error, not a silent drop

  MQTTAsync handle = nullptr;
  check(MQTTAsync_createWithOptions(&handle, access_.uri.c_str(), clientId_.c_str(),
                                    MQTTCLIENT_PERSISTENCE_NONE, nullptr, &options),
        fmt::format("cannot create client {} for {}", clientId_, access_.uri));
  client_.reset(handle);
  check(MQTTAsync_setCallbacks(handle, this, &onConnectionLost, &onMessageArrived,
                               nullptr),
        fmt::format("cannot set callbacks of client {}", clientId_));
  check(MQTTAsync_setConnected(handle, this, &onConnected),
        fmt::format("cannot set connected callback of client {}", clientId_));
}

MqttAsyncWrapper::~MqttAsyncWrapper() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    answered_.notify_all();
    reconnectDue_.notify_all();
  }
  // Wakes every Receive and an arrival waiting for room, and hands the
  // publications still queued (the state "offline", say) to the library
  // before it disconnects.
  queue_.close();
  if (reconnector_.joinable()) {
    reconnector_.join();
  }
  disconnect();
  // Outside the lock: destroy may still run callbacks that take it.
  client_.reset();
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
  will_ = Will{topic, payload, qos, retained};
}

void MqttAsyncWrapper::SetReceiveQueueLimit(std::size_t bytes) { queue_.setLimit(bytes); }

bool MqttAsyncWrapper::Connect(bool cleanSession, SuccessCallback onSuccess,
                               FailureCallback onFailure) {
  cleanSession_ = cleanSession;
  connectSuccess_ = onSuccess;
  connectFailure_ = onFailure;
  const std::optional<int> rc = callLibrary([this] { return requestConnection(); }, nullptr);
  check(rc.value_or(MQTTASYNC_SUCCESS),
        fmt::format("cannot connect client {} to {}", clientId_, access_.uri));
  if (!reconnector_.joinable()) {
    reconnector_ = std::thread([this] { reconnectLoop(); });
  }
  return true;
}

// One connection attempt; the library answers through onConnectSuccess or
// onConnectFailure. Reconnecting is ours rather than the library's because
// the library reports only the first of its own failed attempts.
int MqttAsyncWrapper::requestConnection() {
  MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer;
  options.cleansession = cleanSession_ ? 1 : 0;
  // The default tries 3.1.1 and falls back to 3.1, which races on reconnect.
  options.MQTTVersion = MQTTVERSION_3_1_1;
  options.keepAliveInterval = kKeepAliveSeconds;
  options.onSuccess = &onConnectSuccess;
  options.onFailure = &onConnectFailure;
  options.context = this;
  if (!access_.username.empty()) {
    options.username = access_.username.c_str();
    options.binarypwd.data = access_.password.data();
    options.binarypwd.len = static_cast<int>(access_.password.size());
  }
  MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
  if (will_) {
    will.topicName = will_->topic.c_str();
    will.payload.data = will_->payload.data();
    will.payload.len = static_cast<int>(will_->payload.size());
    will.qos = static_cast<int>(will_->qos);
    will.retained = will_->retained ? 1 : 0;
    options.will = &will;
  }
  MQTTAsync_SSLOptions tls = MQTTAsync_SSLOptions_initializer;
  if (access_.tls) {
    tls.trustStore = access_.caFile.empty() ? nullptr : access_.caFile.c_str();
    tls.enableServerCertAuth = 1;
    tls.verify = 1;  // the certificate must name the host of the address
    tls.ssl_error_cb = &onTlsError;
    tls.ssl_error_context = this;
    options.ssl = &tls;
  }
  // The library copies what it keeps of the options.
  return MQTTAsync_connect(client_.get(), &options);
}

void MqttAsyncWrapper::reconnectLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (!reconnectAt_) {
      reconnectDue_.wait(lock);
      continue;
    }
    if (Clock::now() < *reconnectAt_) {
      reconnectDue_.wait_until(lock, *reconnectAt_);
      continue;
    }
    reconnectAt_.reset();
    lock.unlock();
    // Not through the receive queue: nothing of the consumer's waits for it.
    if (const int rc = requestConnection(); rc != MQTTASYNC_SUCCESS) {
      MQTTAsync_failureData refused{};
      refused.code = rc;
      connectAttemptFailed(refused);
    }
    lock.lock();
  }
}

// Call with mutex_ held.
void MqttAsyncWrapper::scheduleReconnect(Clock::duration delay) {
  reconnectAt_ = Clock::now() + delay;
  reconnectDue_.notify_all();
}

void MqttAsyncWrapper::connectAttemptFailed(const MQTTAsync_failureData& data) noexcept {
  try {
    std::string report;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) {
        return;
      }
      lastFailure_ = connectFailureText(access_.uri, data, lastTlsError_);
      refusedWith_ = std::max(data.code, 0);
      if (refusedWith_ >= kBadCredentials && !access_.password.empty() &&
          access_.password.back() == '\r') {
        // The broker never says why; a file saved with Windows line ends is
        // the usual cause, and invisible to whoever looks at it.
        lastFailure_ += "; the password from MQTT_PASSWORD_FILE ends with a carriage return "
                        "(a file with Windows line ends?)";
      }
      if (const size_t covered = failures_.failed(Clock::now()); covered > 0) {
        report = lastFailure_;
        if (failures_.failedAttempts() > 1) {
          report += fmt::format("; {} failed attempts since the last report", covered);
        }
      }
      lastTlsError_.clear();
      scheduleReconnect(retryDelay_);
      retryDelay_ = std::min(retryDelay_ * 2, kMaxRetryDelay);
    }
    if (!report.empty()) {
      emit(LinkEvent::Kind::ConnectFailed, report);
    }
  } catch (...) {
  }
}

void MqttAsyncWrapper::connectionUp() noexcept {
  try {
    std::vector<std::pair<Subscription, RequestPtr>> pending;
    std::optional<FailureReportThrottle::Outage> outage;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) {
        return;
      }
      connected_ = true;
      ++connection_;
      lastFailure_.clear();
      refusedWith_ = 0;
      retryDelay_ = kMinRetryDelay;
      outage = failures_.succeeded(Clock::now());
      for (const Subscription& subscription : subscriptions_) {
        pending.emplace_back(subscription, newRequest(subscription.filter, nullptr, nullptr));
      }
    }
    emit(LinkEvent::Kind::Connected,
         outage ? fmt::format("{}: connected after {} failed attempts over {}", access_.uri,
                              outage->failedAttempts, durationText(outage->length))
                : fmt::format("{}: connected", access_.uri));
    resubscribeAll(pending);
  } catch (const std::exception& e) {
    emit(LinkEvent::Kind::Error, fmt::format("{}: {}", access_.uri, e.what()));
  }
}

void MqttAsyncWrapper::connectionDown(const char* cause) noexcept {
  try {
    const std::string text = cause != nullptr && *cause != '\0'
                                 ? fmt::format("{}: connection lost: {}", access_.uri, cause)
                                 : fmt::format("{}: connection lost", access_.uri);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connected_ = false;
      if (stopping_) {
        return;
      }
      lastFailure_ = text;
      scheduleReconnect(kMinRetryDelay);
    }
    emit(LinkEvent::Kind::ConnectionLost, text);
  } catch (...) {
  }
}

std::optional<Message> MqttAsyncWrapper::TryReceive(const std::string& topicFilter,
                                                    std::chrono::milliseconds timeout) {
  return take(topicFilter, Clock::now() + std::max(timeout, std::chrono::milliseconds(0)));
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

std::optional<Message> MqttAsyncWrapper::take(const std::string& topicFilter,
                                              std::optional<Clock::time_point> deadline) {
  return queue_.take(
      [&](const std::string& topic) { return TopicMatches(topicFilter, topic); }, deadline, [&] {
        throw MqttError(fmt::format("mqtt: client {}: receive on {} ended: client is shutting down",
                                    clientId_, topicFilter));
      });
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
  Delivery* delivery = nullptr;
  if (onDelivery) {
    auto owned = std::make_unique<Delivery>(Delivery{this, std::move(onDelivery)});
    delivery = owned.get();
    std::lock_guard<std::mutex> lock(mutex_);
    deliveries_.push_back(std::move(owned));
  }
  // Topic and payload are copied: the call may run after Send returned.
  const auto send = [this, topic, payload, qos, retained, delivery] {
    MQTTAsync_message message = MQTTAsync_message_initializer;
    message.payload = const_cast<char*>(payload.data());
    message.payloadlen = static_cast<int>(payload.size());
    message.qos = static_cast<int>(qos);
    message.retained = retained ? 1 : 0;
    MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
    if (delivery != nullptr) {
      options.onSuccess = &onSendSuccess;
      options.onFailure = &onSendFailure;
      options.context = delivery;
    }
    return MQTTAsync_sendMessage(client_.get(), topic.c_str(), &message, &options);
  };
  const std::optional<int> rc = callLibrary(send, [this, topic, delivery](int late) {
    if (late != MQTTASYNC_SUCCESS) {
      emit(LinkEvent::Kind::Error,
           fmt::format("{}: cannot send to {}: {}", access_.uri, topic, errorText(late)));
      if (delivery != nullptr) {
        deliveryAnswered(delivery, false);  // Send has returned: the library gave it up
      }
    }
  });
  if (rc && *rc != MQTTASYNC_SUCCESS && delivery != nullptr) {
    // Refused: no answer will come.
    std::lock_guard<std::mutex> lock(mutex_);
    deliveries_.remove_if([&](const auto& known) { return known.get() == delivery; });
  }
  check(rc.value_or(MQTTASYNC_SUCCESS), fmt::format("client {} cannot send to {}", clientId_, topic));
  return true;
}

LinkState MqttAsyncWrapper::Link() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return LinkState{connected_, connection_, lastFailure_, refusedWith_};
}

// Calls from the library's own threads (a callback of ours, or a user
// callback calling Send) run at once: the library then skips its lock.
std::optional<int> MqttAsyncWrapper::callLibrary(ReceiveQueue::Call call,
                                                 ReceiveQueue::LateResult late) {
  if (inLibraryCallback) {
    return call();
  }
  return queue_.perform(std::move(call), std::move(late));
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
  std::unique_lock<std::mutex> lock(mutex_);
  disconnectDone_.wait_for(lock, kDisconnectWait, [this] { return disconnected_; });
}

void MqttAsyncWrapper::markDisconnectDone() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    disconnected_ = true;
    connected_ = false;
  }
  disconnectDone_.notify_all();
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

void MqttAsyncWrapper::reportCallbackError(const std::string& error) const noexcept {
  if (!error.empty()) {
    try {
      emit(LinkEvent::Kind::Error, fmt::format("{}: {}", access_.uri, error));
    } catch (...) {
    }
  }
}

void MqttAsyncWrapper::onConnected(void* context, char* /*cause*/) {
  const LibraryCallback callback;
  static_cast<MqttAsyncWrapper*>(context)->connectionUp();
}

void MqttAsyncWrapper::onConnectionLost(void* context, char* cause) {
  const LibraryCallback callback;
  static_cast<MqttAsyncWrapper*>(context)->connectionDown(cause);
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
int MqttAsyncWrapper::onMessageArrived(void* context, char* topicName, int topicLen,
                                       MQTTAsync_message* message) {
  const LibraryCallback callback;
  auto* self = static_cast<MqttAsyncWrapper*>(context);
  try {
    const auto* bytes = static_cast<const char*>(message->payload);
    self->queue_.admit(
        Message{topicLen > 0 ? std::string(topicName, static_cast<size_t>(topicLen))
                             : std::string(topicName),
                std::vector<char>(bytes, bytes + std::max(message->payloadlen, 0))});
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
  if (!self->connectReported_.exchange(true) && self->connectSuccess_ != nullptr) {
    self->reportCallbackError(callUserCallback(self->connectSuccess_, self, data));
  }
}

void MqttAsyncWrapper::onConnectFailure(void* context, MQTTAsync_failureData* data) {
  const LibraryCallback callback;
  auto* self = static_cast<MqttAsyncWrapper*>(context);
  MQTTAsync_failureData unknown{};
  unknown.code = MQTTASYNC_FAILURE;
  self->connectAttemptFailed(data != nullptr ? *data : unknown);
  if (!self->connectReported_.exchange(true) && self->connectFailure_ != nullptr) {
    self->reportCallbackError(callUserCallback(self->connectFailure_, self, data));
  }
}

void MqttAsyncWrapper::onDisconnectSuccess(void* context, MQTTAsync_successData* /*data*/) {
  const LibraryCallback callback;
  static_cast<MqttAsyncWrapper*>(context)->markDisconnectDone();
}

void MqttAsyncWrapper::onDisconnectFailure(void* context, MQTTAsync_failureData* /*data*/) {
  const LibraryCallback callback;
  static_cast<MqttAsyncWrapper*>(context)->markDisconnectDone();
}

void MqttAsyncWrapper::deliveryAnswered(Delivery* delivery, bool delivered) noexcept {
  try {
    DeliveryListener listener;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto known = std::find_if(deliveries_.begin(), deliveries_.end(),
                                      [&](const auto& d) { return d.get() == delivery; });
      if (known == deliveries_.end()) {
        return;
      }
      listener = std::move((*known)->listener);
      deliveries_.erase(known);
      if (stopping_) {
        return;  // its owner may be going as well
      }
    }
    listener(delivered);
  } catch (const std::exception& e) {
    reportCallbackError(e.what());
  } catch (...) {
    reportCallbackError("delivery listener failed");
  }
}

void MqttAsyncWrapper::onSendSuccess(void* context, MQTTAsync_successData* /*data*/) {
  const LibraryCallback callback;
  auto* delivery = static_cast<Delivery*>(context);
  delivery->owner->deliveryAnswered(delivery, true);
}

void MqttAsyncWrapper::onSendFailure(void* context, MQTTAsync_failureData* /*data*/) {
  const LibraryCallback callback;
  auto* delivery = static_cast<Delivery*>(context);
  delivery->owner->deliveryAnswered(delivery, false);
}

int MqttAsyncWrapper::onTlsError(const char* text, size_t length, void* context) {
  auto* self = static_cast<MqttAsyncWrapper*>(context);
  try {
    std::string error(text, length);
    while (!error.empty() && std::strchr("\r\n: ", error.back()) != nullptr) {
      error.pop_back();
    }
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lastTlsError_ = std::move(error);
  } catch (...) {
  }
  return 0;
}

}  // namespace talvoro::mosquitto
