#include "talvoro/mosquitto/mqtt_async_wrapper.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <iostream>
#include <string_view>
#include <utility>

namespace talvoro::mosquitto {
namespace {

constexpr const char* kDefaultBrokerUrl = "tcp://127.0.0.1:1883";
constexpr int kMinRetrySeconds = 1;
constexpr int kMaxRetrySeconds = 30;
constexpr unsigned long kSubscribeWaitMs = 10000;
// In-flight messages get this long to complete when the wrapper goes away;
// the wait for the library's answer adds a margin on top.
constexpr int kDisconnectTimeoutMs = 1000;
constexpr auto kDisconnectWait = std::chrono::milliseconds(kDisconnectTimeoutMs + 2000);

std::string brokerUrlFromEnvironment() {
  const char* url = std::getenv("MQTT_BROKER_URL");
  return url != nullptr && *url != '\0' ? url : kDefaultBrokerUrl;
}

std::string errorText(int rc) {
  const char* text = MQTTAsync_strerror(rc);
  return fmt::format("{} ({})", text != nullptr ? text : "unknown error", rc);
}

void check(int rc, const std::string& what) {
  if (rc != MQTTASYNC_SUCCESS) {
    throw MqttError(fmt::format("mqtt: {}: {}", what, errorText(rc)));
  }
}

// Callbacks run on the library's threads and must not let anything escape.
void reportFromCallback(const std::string& clientId, std::string_view what) noexcept {
  try {
    std::cerr << fmt::format("mqtt: client {}: {}\n", clientId, what);
  } catch (...) {
  }
}

template <typename Callback, typename Data>
void callUserCallback(Callback callback, void* context, Data* data,
                      const std::string& clientId) noexcept {
  try {
    callback(context, data);
  } catch (const std::exception& e) {
    reportFromCallback(clientId, e.what());
  } catch (...) {
    reportFromCallback(clientId, "connect callback failed");
  }
}

// Hands out the levels of a topic or filter one at a time.
class Levels {
 public:
  explicit Levels(std::string_view text) : rest_(text) {}

  bool done() const { return done_; }

  std::string_view next() {
    const auto slash = rest_.find('/');
    const std::string_view level = rest_.substr(0, slash);
    if (slash == std::string_view::npos) {
      done_ = true;
    } else {
      rest_.remove_prefix(slash + 1);
    }
    return level;
  }

 private:
  std::string_view rest_;
  bool done_ = false;
};

template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F f) : f_(std::move(f)) {}
  ~ScopeExit() { f_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  F f_;
};

}  // namespace

void MqttAsyncWrapper::HandleDestroyer::operator()(void* handle) const noexcept {
  MQTTAsync_destroy(&handle);
}

MqttAsyncWrapper::MqttAsyncWrapper(const std::string& clientId)
    : serverUri_(brokerUrlFromEnvironment()), clientId_(clientId) {
  MQTTAsync_createOptions options = MQTTAsync_createOptions_initializer;
  options.MQTTVersion = MQTTVERSION_3_1_1;
  options.sendWhileDisconnected = 1;
  options.allowDisconnectedSendAtAnyTime = 1;
  options.maxBufferedMessages = kMaxBufferedMessages;
  options.deleteOldestMessages = 0;  // a full buffer is an error, not a silent drop

  MQTTAsync handle = nullptr;
  check(MQTTAsync_createWithOptions(&handle, serverUri_.c_str(), clientId_.c_str(),
                                    MQTTCLIENT_PERSISTENCE_NONE, nullptr, &options),
        fmt::format("cannot create client {} for {}", clientId_, serverUri_));
  client_.reset(handle);
  check(MQTTAsync_setCallbacks(handle, this, &onConnectionLost, &onMessageArrived,
                               nullptr),
        fmt::format("cannot set callbacks of client {}", clientId_));
  check(MQTTAsync_setConnected(handle, this, &onConnected),
        fmt::format("cannot set connected callback of client {}", clientId_));
}

MqttAsyncWrapper::~MqttAsyncWrapper() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    queueChanged_.notify_all();
    receiversGone_.wait(lock, [this] { return activeReceivers_ == 0; });
  }
  disconnect();
  // Outside the lock: destroy may still run callbacks that take it.
  client_.reset();
}

bool MqttAsyncWrapper::Connect(bool cleanSession, SuccessCallback onSuccess,
                               FailureCallback onFailure) {
  connectSuccess_ = onSuccess;
  connectFailure_ = onFailure;

  MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer;
  options.cleansession = cleanSession ? 1 : 0;
  // The default tries 3.1.1 and falls back to 3.1, which races on reconnect.
  options.MQTTVersion = MQTTVERSION_3_1_1;
  // Also keeps retrying a first connect that failed.
  options.automaticReconnect = 1;
  options.minRetryInterval = kMinRetrySeconds;
  options.maxRetryInterval = kMaxRetrySeconds;
  options.onSuccess = &onConnectSuccess;
  options.onFailure = &onConnectFailure;
  options.context = this;
  check(MQTTAsync_connect(client_.get(), &options),
        fmt::format("cannot connect client {} to {}", clientId_, serverUri_));
  return true;
}

bool MqttAsyncWrapper::Subscribe(const std::string& topicFilter, Qos qos,
                                 bool waitForCompletion, SuccessCallback onSuccess,
                                 FailureCallback onFailure) {
  const Subscription subscription{topicFilter, qos};
  // The connected callback sets connected_ and copies the list under the same
  // lock, so either it sees this subscription or we see connected_ == true.
  if (!remember(subscription)) {
    return false;
  }
  MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
  options.onSuccess = onSuccess;
  options.onFailure = onFailure;
  options.context = this;
  const int rc = requestSubscription(subscription, options);
  if (rc == MQTTASYNC_DISCONNECTED) {
    return false;  // the link just dropped; the reconnection issues it
  }
  if (rc != MQTTASYNC_SUCCESS) {
    forget(topicFilter);
    check(rc, fmt::format("cannot subscribe client {} to {}", clientId_, topicFilter));
  }
  if (waitForCompletion) {
    check(MQTTAsync_waitForCompletion(client_.get(), options.token, kSubscribeWaitMs),
          fmt::format("subscription of client {} to {} not acknowledged", clientId_,
                      topicFilter));
  }
  return true;
}

Message MqttAsyncWrapper::Receive(const std::string& topicFilter, int timeoutMs) {
  if (timeoutMs <= 0) {
    return *TryReceive(topicFilter, std::chrono::milliseconds::max());
  }
  std::optional<Message> message =
      TryReceive(topicFilter, std::chrono::milliseconds(timeoutMs));
  if (!message) {
    throw ReceiveTimeout(fmt::format("mqtt: client {}: no message on {} within {} ms",
                                     clientId_, topicFilter, timeoutMs));
  }
  return std::move(*message);
}

std::optional<Message> MqttAsyncWrapper::TryReceive(const std::string& topicFilter,
                                                    std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  ++activeReceivers_;
  // Declared after the lock, so it runs while the lock is still held.
  const ScopeExit leave([this] {
    if (--activeReceivers_ == 0 && stopping_) {
      receiversGone_.notify_all();
    }
  });

  auto match = queue_.end();
  const auto ready = [&] {
    if (stopping_) {
      return true;
    }
    match = findMatch(topicFilter);
    return match != queue_.end();
  };
  if (timeout == std::chrono::milliseconds::max()) {
    queueChanged_.wait(lock, ready);
  } else if (!queueChanged_.wait_for(lock, timeout, ready)) {
    return std::nullopt;
  }
  if (stopping_) {
    throw MqttError(fmt::format("mqtt: client {}: receive on {} ended: client is shutting down",
                                clientId_, topicFilter));
  }
  Message message = std::move(*match);
  queue_.erase(match);
  return message;
}

bool MqttAsyncWrapper::Send(const std::string& topic, const std::string& payload,
                            Qos qos, bool retained) {
  if (payload.size() > static_cast<size_t>(INT_MAX)) {
    throw MqttError(fmt::format("mqtt: client {}: payload of {} bytes for {} is too large",
                                clientId_, payload.size(), topic));
  }
  MQTTAsync_message message = MQTTAsync_message_initializer;
  message.payload = const_cast<char*>(payload.data());
  message.payloadlen = static_cast<int>(payload.size());
  message.qos = static_cast<int>(qos);
  message.retained = retained ? 1 : 0;
  MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
  check(MQTTAsync_sendMessage(client_.get(), topic.c_str(), &message, &options),
        fmt::format("client {} cannot send to {}", clientId_, topic));
  return true;
}

bool MqttAsyncWrapper::TopicMatches(const std::string& filter, const std::string& topic) {
  if (filter.empty() || topic.empty()) {
    return false;
  }
  // Wildcards in the first level never match the broker's own "$..." topics.
  if (topic.front() == '$' && (filter.front() == '+' || filter.front() == '#')) {
    return false;
  }
  Levels wanted(filter);
  Levels actual(topic);
  while (!wanted.done()) {
    const std::string_view level = wanted.next();
    if (level == "#") {
      return wanted.done();  // also matches the parent level itself
    }
    if (actual.done()) {
      return false;
    }
    if (const std::string_view got = actual.next(); level != "+" && level != got) {
      return false;
    }
  }
  return actual.done();
}

// Returns whether the link is up, i.e. whether the caller must issue it now.
bool MqttAsyncWrapper::remember(const Subscription& subscription) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto known = std::find_if(
      subscriptions_.begin(), subscriptions_.end(),
      [&](const Subscription& s) { return s.filter == subscription.filter; });
  if (known != subscriptions_.end()) {
    known->qos = subscription.qos;
  } else {
    subscriptions_.push_back(subscription);
  }
  return connected_;
}

void MqttAsyncWrapper::forget(const std::string& filter) {
  std::lock_guard<std::mutex> lock(mutex_);
  subscriptions_.erase(
      std::remove_if(subscriptions_.begin(), subscriptions_.end(),
                     [&](const Subscription& s) { return s.filter == filter; }),
      subscriptions_.end());
}

int MqttAsyncWrapper::requestSubscription(const Subscription& subscription,
                                          MQTTAsync_responseOptions& options) {
  return MQTTAsync_subscribe(client_.get(), subscription.filter.c_str(),
                             static_cast<int>(subscription.qos), &options);
}

void MqttAsyncWrapper::resubscribeAll() noexcept {
  try {
    std::vector<Subscription> pending;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) {
        return;
      }
      connected_ = true;
      pending = subscriptions_;
    }
    for (const Subscription& subscription : pending) {
      MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
      if (const int rc = requestSubscription(subscription, options);
          rc != MQTTASYNC_SUCCESS) {
        // Nobody to throw to; the next reconnection tries again.
        reportFromCallback(clientId_, fmt::format("cannot subscribe to {}: {}",
                                                  subscription.filter, errorText(rc)));
      }
    }
  } catch (const std::exception& e) {
    reportFromCallback(clientId_, e.what());
  }
}

std::deque<Message>::iterator MqttAsyncWrapper::findMatch(const std::string& topicFilter) {
  return std::find_if(queue_.begin(), queue_.end(), [&](const Message& message) {
    return TopicMatches(topicFilter, message.topic);
  });
}

void MqttAsyncWrapper::disconnect() noexcept {
  MQTTAsync_disconnectOptions options = MQTTAsync_disconnectOptions_initializer;
  options.timeout = kDisconnectTimeoutMs;
  options.onSuccess = &onDisconnectSuccess;
  options.onFailure = &onDisconnectFailure;
  options.context = this;
  // Also stops the reconnect attempts. Any error (typically "not connected")
  // means no callback will come.
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

void MqttAsyncWrapper::onConnected(void* context, char* /*cause*/) {
  static_cast<MqttAsyncWrapper*>(context)->resubscribeAll();
}

void MqttAsyncWrapper::onConnectionLost(void* context, char* /*cause*/) {
  auto* self = static_cast<MqttAsyncWrapper*>(context);
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->connected_ = false;
}

int MqttAsyncWrapper::onMessageArrived(void* context, char* topicName, int topicLen,
                                       MQTTAsync_message* message) {
  auto* self = static_cast<MqttAsyncWrapper*>(context);
  try {
    const auto* bytes = static_cast<const char*>(message->payload);
    Message copy{topicLen > 0 ? std::string(topicName, static_cast<size_t>(topicLen))
                              : std::string(topicName),
                 std::vector<char>(bytes, bytes + message->payloadlen)};
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      if (!self->stopping_) {
        self->queue_.push_back(std::move(copy));
      }
    }
    self->queueChanged_.notify_all();
  } catch (...) {
    return 0;  // not taken: the library keeps it and offers it again
  }
  MQTTAsync_freeMessage(&message);
  MQTTAsync_free(topicName);
  return 1;
}

void MqttAsyncWrapper::onConnectSuccess(void* context, MQTTAsync_successData* data) {
  auto* self = static_cast<MqttAsyncWrapper*>(context);
  if (!self->connectReported_.exchange(true) && self->connectSuccess_ != nullptr) {
    callUserCallback(self->connectSuccess_, self, data, self->clientId_);
  }
}

void MqttAsyncWrapper::onConnectFailure(void* context, MQTTAsync_failureData* data) {
  auto* self = static_cast<MqttAsyncWrapper*>(context);
  if (!self->connectReported_.exchange(true) && self->connectFailure_ != nullptr) {
    callUserCallback(self->connectFailure_, self, data, self->clientId_);
  }
}

void MqttAsyncWrapper::onDisconnectSuccess(void* context, MQTTAsync_successData* /*data*/) {
  static_cast<MqttAsyncWrapper*>(context)->markDisconnectDone();
}

void MqttAsyncWrapper::onDisconnectFailure(void* context, MQTTAsync_failureData* /*data*/) {
  static_cast<MqttAsyncWrapper*>(context)->markDisconnectDone();
}

}  // namespace talvoro::mosquitto
