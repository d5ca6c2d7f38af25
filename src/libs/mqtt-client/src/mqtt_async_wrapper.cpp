#include "talvoro/mosquitto/mqtt_async_wrapper.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string_view>
#include <utility>

namespace talvoro::mosquitto {
namespace {

using namespace std::chrono_literals;

constexpr const char* kDefaultBrokerUrl = "tcp://127.0.0.1:1883";
constexpr std::chrono::steady_clock::duration kMinRetryDelay = 1s;
constexpr std::chrono::steady_clock::duration kMaxRetryDelay = 30s;
constexpr auto kSubscribeWait = 10s;
// In-flight messages get this long to complete when the wrapper goes away;
// the wait for the library's answer adds a margin on top.
constexpr int kDisconnectTimeoutMs = 1000;
constexpr auto kDisconnectWait = std::chrono::milliseconds(kDisconnectTimeoutMs + 2000);
// What a broker puts in a SUBACK for a subscription it refuses.
constexpr int kSubscriptionRefused = 0x80;

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool startsWith(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

// The whole content of `path`; `what` names the file in errors.
std::string readFile(const std::string& path, std::string_view what) {
  const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  const auto fail = [&] {
    return MqttError(fmt::format("mqtt: cannot read {} {}: {}", what, path, std::strerror(errno)));
  };
  if (!file) {
    throw fail();
  }
  std::string content;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) {
    content.append(buffer, n);
  }
  if (std::ferror(file.get())) {
    throw fail();
  }
  return content;
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

// The reasons of an MQTT 3.1.1 CONNACK refusal.
std::string_view connackReason(int code) {
  switch (code) {
    case 1: return "unacceptable protocol version";
    case 2: return "identifier rejected";
    case 3: return "server unavailable";
    case 4: return "bad user name or password";
    case 5: return "not authorised";
    default: return "refused";
  }
}

std::string connectFailureText(const std::string& uri, const MQTTAsync_failureData& data,
                               const std::string& tlsError) {
  if (data.code > 0) {  // the broker's CONNACK return code
    return fmt::format("{}: connection refused: {} (MQTT return code {})", uri,
                       connackReason(data.code), data.code);
  }
  std::string text = fmt::format("{}: connection failed: {}", uri,
                                 data.message != nullptr ? fmt::format("{} ({})", data.message, data.code)
                                                         : errorText(data.code));
  if (!tlsError.empty()) {
    text += fmt::format(": {}", tlsError);
  }
  return text;
}

std::string durationText(std::chrono::steady_clock::duration duration) {
  const auto s = std::chrono::duration_cast<std::chrono::seconds>(duration).count();
  if (s < 60) {
    return fmt::format("{} s", s);
  }
  if (s < 3600) {
    return fmt::format("{} min {} s", s / 60, s % 60);
  }
  return fmt::format("{} h {} min", s / 3600, s % 3600 / 60);
}

// Bytes a message holds in the receive queue.
size_t footprint(const Message& message) {
  return message.topic.size() + message.payload.size();
}

// Calls a user's callback from a library thread; returns what it threw.
template <typename Callback, typename Data>
std::string callUserCallback(Callback callback, void* context, Data* data) noexcept {
  try {
    callback(context, data);
    return {};
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "callback failed";
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

MqttAsyncWrapper::LibraryCall::LibraryCall(MqttAsyncWrapper& owner) : owner_(owner) {
  {
    std::lock_guard<std::mutex> lock(owner_.mutex_);
    ++owner_.libraryCalls_;
  }
  owner_.roomMade_.notify_all();
}

MqttAsyncWrapper::LibraryCall::~LibraryCall() {
  std::lock_guard<std::mutex> lock(owner_.mutex_);
  --owner_.libraryCalls_;
}

MqttAsyncWrapper::BrokerAccess MqttAsyncWrapper::brokerAccessFromEnvironment(std::string uri) {
  BrokerAccess access;
  access.uri = std::move(uri);
  if (access.uri.empty()) {
    access.uri = kDefaultBrokerUrl;
  }
  access.tls = startsWith(access.uri, "ssl://") || startsWith(access.uri, "mqtts://");
  access.username = environment("MQTT_USERNAME");
  if (const std::string passwordFile = environment("MQTT_PASSWORD_FILE"); !passwordFile.empty()) {
    if (access.username.empty()) {
      throw MqttError(fmt::format(
          "mqtt: password file {} given (MQTT_PASSWORD_FILE) without a user name (MQTT_USERNAME)",
          passwordFile));
    }
    access.password = readFile(passwordFile, "password file");
    if (!access.password.empty() && access.password.back() == '\n') {
      access.password.pop_back();
    }
  }
  if (access.tls) {
    access.caFile = environment("MQTT_CA_FILE");
    if (!access.caFile.empty()) {
      readFile(access.caFile, "CA certificate file");  // fail now rather than at each attempt
    }
  }
  return access;
}

MqttAsyncWrapper::MqttAsyncWrapper(const std::string& clientId)
    : MqttAsyncWrapper(clientId, environment("MQTT_BROKER_URL")) {}

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
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    queueChanged_.notify_all();
    roomMade_.notify_all();
    answered_.notify_all();
    reconnectDue_.notify_all();
    receiversGone_.wait(lock, [this] { return activeReceivers_ == 0; });
  }
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

void MqttAsyncWrapper::SetReceiveQueueLimit(std::size_t bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queueLimit_ = bytes;
  }
  roomMade_.notify_all();
}

bool MqttAsyncWrapper::Connect(bool cleanSession, SuccessCallback onSuccess,
                               FailureCallback onFailure) {
  cleanSession_ = cleanSession;
  connectSuccess_ = onSuccess;
  connectFailure_ = onFailure;
  {
    const LibraryCall call(*this);
    check(requestConnection(),
          fmt::format("cannot connect client {} to {}", clientId_, access_.uri));
  }
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
    int rc = MQTTASYNC_SUCCESS;
    {
      const LibraryCall call(*this);
      rc = requestConnection();
    }
    if (rc != MQTTASYNC_SUCCESS) {
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

bool MqttAsyncWrapper::Subscribe(const std::string& topicFilter, Qos qos,
                                 bool waitForCompletion, SuccessCallback onSuccess,
                                 FailureCallback onFailure) {
  const Subscription subscription{topicFilter, qos};
  RequestPtr request;
  {
    // The connected callback sets connected_ and copies the list under the
    // same lock, so either it sees this subscription or we see connected_.
    std::lock_guard<std::mutex> lock(mutex_);
    remember(subscription);
    if (!connected_) {
      return false;
    }
    request = newRequest(topicFilter, onSuccess, onFailure);
  }
  int rc = MQTTASYNC_SUCCESS;
  {
    const LibraryCall call(*this);
    rc = requestSubscription(subscription, request);
  }
  if (rc != MQTTASYNC_SUCCESS) {
    abandon(request, rc == MQTTASYNC_DISCONNECTED ? "" : topicFilter);
    if (rc == MQTTASYNC_DISCONNECTED) {
      return false;  // the link just dropped; the reconnection issues it
    }
    check(rc, fmt::format("cannot subscribe client {} to {}", clientId_, topicFilter));
  }
  if (waitForCompletion) {
    awaitAnswer(*request);
  }
  return true;
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
  if (!deadline) {
    queueChanged_.wait(lock, ready);
  } else if (!queueChanged_.wait_until(lock, *deadline, ready)) {
    return std::nullopt;
  }
  if (stopping_) {
    throw MqttError(fmt::format("mqtt: client {}: receive on {} ended: client is shutting down",
                                clientId_, topicFilter));
  }
  Message message = std::move(*match);
  queue_.erase(match);
  queuedBytes_ -= footprint(message);
  roomMade_.notify_all();
  return message;
}

std::size_t MqttAsyncWrapper::Pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}

std::size_t MqttAsyncWrapper::QueuedBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queuedBytes_;
}

std::size_t MqttAsyncWrapper::PeakQueuedBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return peakQueuedBytes_;
}

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
  MQTTAsync_message message = MQTTAsync_message_initializer;
  message.payload = const_cast<char*>(payload.data());
  message.payloadlen = static_cast<int>(payload.size());
  message.qos = static_cast<int>(qos);
  message.retained = retained ? 1 : 0;
  MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
  Delivery* delivery = nullptr;
  if (onDelivery) {
    auto owned = std::make_unique<Delivery>(Delivery{this, std::move(onDelivery)});
    delivery = owned.get();
    options.onSuccess = &onSendSuccess;
    options.onFailure = &onSendFailure;
    options.context = delivery;
    std::lock_guard<std::mutex> lock(mutex_);
    deliveries_.push_back(std::move(owned));
  }
  int rc = MQTTASYNC_SUCCESS;
  {
    const LibraryCall call(*this);
    rc = MQTTAsync_sendMessage(client_.get(), topic.c_str(), &message, &options);
  }
  if (rc != MQTTASYNC_SUCCESS && delivery != nullptr) {
    // Refused: no answer will come.
    std::lock_guard<std::mutex> lock(mutex_);
    deliveries_.remove_if([&](const auto& known) { return known.get() == delivery; });
  }
  check(rc, fmt::format("client {} cannot send to {}", clientId_, topic));
  return true;
}

LinkState MqttAsyncWrapper::Link() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return LinkState{connected_, connection_, lastFailure_, refusedWith_};
}

bool MqttAsyncWrapper::Acknowledged(const std::string& filter, std::uint64_t connection) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto granted = granted_.find(filter);
  return connected_ && connection == connection_ && granted != granted_.end() &&
         granted->second == connection;
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


// Call with mutex_ held.
void MqttAsyncWrapper::remember(const Subscription& subscription) {
  const auto known = std::find_if(
      subscriptions_.begin(), subscriptions_.end(),
      [&](const Subscription& s) { return s.filter == subscription.filter; });
  if (known != subscriptions_.end()) {
    known->qos = subscription.qos;
  } else {
    subscriptions_.push_back(subscription);
  }
}

// Call with mutex_ held.
MqttAsyncWrapper::RequestPtr MqttAsyncWrapper::newRequest(const std::string& filter,
                                                          SuccessCallback onSuccess,
                                                          FailureCallback onFailure) {
  auto request = std::make_shared<SubscriptionRequest>(
      SubscriptionRequest{this, filter, connection_, onSuccess, onFailure});
  requests_.push_back(request);
  return request;
}

// Drops a request the library refused, so no answer will come; with
// `forgetFilter` not empty, also the subscription it was for.
void MqttAsyncWrapper::abandon(const RequestPtr& request, const std::string& forgetFilter) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.remove(request);
  if (!forgetFilter.empty()) {
    subscriptions_.erase(
        std::remove_if(subscriptions_.begin(), subscriptions_.end(),
                       [&](const Subscription& s) { return s.filter == forgetFilter; }),
        subscriptions_.end());
  }
}

int MqttAsyncWrapper::requestSubscription(const Subscription& subscription,
                                          const RequestPtr& request) {
  MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
  options.onSuccess = &onSubscribeSuccess;
  options.onFailure = &onSubscribeFailure;
  options.context = request.get();
  return MQTTAsync_subscribe(client_.get(), subscription.filter.c_str(),
                             static_cast<int>(subscription.qos), &options);
}

void MqttAsyncWrapper::awaitAnswer(const SubscriptionRequest& request) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!answered_.wait_for(lock, kSubscribeWait,
                          [&] { return request.answered || stopping_; }) ||
      stopping_) {
    throw MqttError(fmt::format("mqtt: subscription of client {} to {} not acknowledged",
                                clientId_, request.filter));
  }
  if (!request.granted) {
    throw MqttError(fmt::format("mqtt: subscription of client {} to {} refused by {}",
                                clientId_, request.filter, access_.uri));
  }
}

// `code`: the broker's granted QoS, or the failure code.
void MqttAsyncWrapper::subscriptionAnswered(SubscriptionRequest& request, bool granted,
                                            int code) noexcept {
  try {
    const std::string filter = request.filter;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      request.answered = true;
      request.granted = granted;
      if (granted) {
        granted_[filter] = request.connection;
      } else if (const auto known = granted_.find(filter);
                 known != granted_.end() && known->second == request.connection) {
        granted_.erase(known);
      }
      requests_.remove_if([&](const RequestPtr& r) { return r.get() == &request; });
    }
    answered_.notify_all();
    if (code == kSubscriptionRefused) {
      emit(LinkEvent::Kind::Error,
           fmt::format("{}: subscription to {} refused by the broker", access_.uri, filter));
    }
  } catch (...) {
  }
}

void MqttAsyncWrapper::resubscribeAll(
    const std::vector<std::pair<Subscription, RequestPtr>>& pending) noexcept {
  for (const auto& [subscription, request] : pending) {
    try {
      if (const int rc = requestSubscription(subscription, request); rc != MQTTASYNC_SUCCESS) {
        abandon(request, "");
        // Nobody to throw to; the next reconnection tries again.
        emit(LinkEvent::Kind::Error, fmt::format("{}: cannot subscribe to {}: {}", access_.uri,
                                                 subscription.filter, errorText(rc)));
      }
    } catch (const std::exception& e) {
      emit(LinkEvent::Kind::Error, fmt::format("{}: {}", access_.uri, e.what()));
    }
  }
}

std::deque<Message>::iterator MqttAsyncWrapper::findMatch(const std::string& topicFilter) {
  return std::find_if(queue_.begin(), queue_.end(), [&](const Message& message) {
    return TopicMatches(topicFilter, message.topic);
  });
}

// Runs on the library's receiving thread, which holds the library's lock
// meanwhile. Waiting for room there is what holds further messages back at
// the broker; but a thread of ours that calls into the library would wait
// for that lock behind us, and it may be the one that will make room, so
// then the message goes back to the library, which offers it again.
MqttAsyncWrapper::Arrival MqttAsyncWrapper::admit(const char* topicName, int topicLen,
                                                  const MQTTAsync_message& message) {
  const auto* bytes = static_cast<const char*>(message.payload);
  Message copy{topicLen > 0 ? std::string(topicName, static_cast<size_t>(topicLen))
                            : std::string(topicName),
               std::vector<char>(bytes, bytes + std::max(message.payloadlen, 0))};
  std::unique_lock<std::mutex> lock(mutex_);
  const auto hasRoom = [this] { return queue_.empty() || queuedBytes_ < queueLimit_; };
  roomMade_.wait(lock, [&] { return stopping_ || hasRoom() || libraryCalls_ > 0; });
  if (stopping_) {
    return Arrival::Dropped;
  }
  if (!hasRoom()) {
    return Arrival::HandedBack;
  }
  queuedBytes_ += footprint(copy);
  peakQueuedBytes_ = std::max(peakQueuedBytes_, queuedBytes_);
  queue_.push_back(std::move(copy));
  lock.unlock();
  queueChanged_.notify_all();
  return Arrival::Taken;
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
  static_cast<MqttAsyncWrapper*>(context)->connectionUp();
}

void MqttAsyncWrapper::onConnectionLost(void* context, char* cause) {
  static_cast<MqttAsyncWrapper*>(context)->connectionDown(cause);
}

int MqttAsyncWrapper::onMessageArrived(void* context, char* topicName, int topicLen,
                                       MQTTAsync_message* message) {
  auto* self = static_cast<MqttAsyncWrapper*>(context);
  try {
    if (self->admit(topicName, topicLen, *message) == Arrival::HandedBack) {
      return 0;  // the library keeps it and offers it again
    }
  } catch (...) {
    return 0;
  }
  MQTTAsync_freeMessage(&message);
  MQTTAsync_free(topicName);
  return 1;
}

void MqttAsyncWrapper::onConnectSuccess(void* context, MQTTAsync_successData* data) {
  auto* self = static_cast<MqttAsyncWrapper*>(context);
  if (!self->connectReported_.exchange(true) && self->connectSuccess_ != nullptr) {
    self->reportCallbackError(callUserCallback(self->connectSuccess_, self, data));
  }
}

void MqttAsyncWrapper::onConnectFailure(void* context, MQTTAsync_failureData* data) {
  auto* self = static_cast<MqttAsyncWrapper*>(context);
  MQTTAsync_failureData unknown{};
  unknown.code = MQTTASYNC_FAILURE;
  self->connectAttemptFailed(data != nullptr ? *data : unknown);
  if (!self->connectReported_.exchange(true) && self->connectFailure_ != nullptr) {
    self->reportCallbackError(callUserCallback(self->connectFailure_, self, data));
  }
}

void MqttAsyncWrapper::onDisconnectSuccess(void* context, MQTTAsync_successData* /*data*/) {
  static_cast<MqttAsyncWrapper*>(context)->markDisconnectDone();
}

void MqttAsyncWrapper::onDisconnectFailure(void* context, MQTTAsync_failureData* /*data*/) {
  static_cast<MqttAsyncWrapper*>(context)->markDisconnectDone();
}

void MqttAsyncWrapper::onSubscribeSuccess(void* context, MQTTAsync_successData* data) {
  auto& request = *static_cast<SubscriptionRequest*>(context);
  // Copied first: answering may free the request.
  MqttAsyncWrapper* const self = request.owner;
  const SuccessCallback userCallback = request.onSuccess;
  const int grantedQos = data != nullptr ? data->alt.qos : 0;
  self->subscriptionAnswered(request, grantedQos != kSubscriptionRefused, grantedQos);
  if (userCallback != nullptr) {
    self->reportCallbackError(callUserCallback(userCallback, self, data));
  }
}

void MqttAsyncWrapper::onSubscribeFailure(void* context, MQTTAsync_failureData* data) {
  auto& request = *static_cast<SubscriptionRequest*>(context);
  MqttAsyncWrapper* const self = request.owner;
  const FailureCallback userCallback = request.onFailure;
  self->subscriptionAnswered(request, false, data != nullptr ? data->code : MQTTASYNC_FAILURE);
  if (userCallback != nullptr) {
    self->reportCallbackError(callUserCallback(userCallback, self, data));
  }
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
  auto* delivery = static_cast<Delivery*>(context);
  delivery->owner->deliveryAnswered(delivery, true);
}

void MqttAsyncWrapper::onSendFailure(void* context, MQTTAsync_failureData* /*data*/) {
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
