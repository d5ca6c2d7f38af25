#include "talvoro/mosquitto/detail/subscriptions.h"

#include <fmt/format.h>

#include <algorithm>

#include "library_callback.h"
#include "link_texts.h"

namespace talvoro::mosquitto::detail {
namespace {

// What a broker puts in a SUBACK for a subscription it refuses.
constexpr int kSubscriptionRefused = 0x80;

}  // namespace

Subscriptions::Subscriptions(void* userContext, std::string uri, std::string clientId,
                             Hooks hooks)
    : userContext_(userContext),
      uri_(std::move(uri)),
      clientId_(std::move(clientId)),
      hooks_(std::move(hooks)) {}

Subscriptions::RequestPtr Subscriptions::add(const std::string& filter, Qos qos,
                                             MQTTAsync_onSuccess* onSuccess,
                                             MQTTAsync_onFailure* onFailure) {
  // requestAll() takes the list under the same lock: either it sees this
  // subscription, or this sees the link up and requests it now.
  std::lock_guard<std::mutex> lock(mutex_);
  const auto known = std::find_if(subscriptions_.begin(), subscriptions_.end(),
                                  [&](const Subscription& s) { return s.filter == filter; });
  if (known != subscriptions_.end()) {
    known->qos = qos;
  } else {
    subscriptions_.push_back({filter, qos});
  }
  return connected_ ? newRequest({filter, qos}, onSuccess, onFailure) : nullptr;
}

void Subscriptions::requestAll(MQTTAsync client, std::uint64_t connection) {
  std::vector<RequestPtr> requests;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connected_ = true;
    connection_ = connection;
    for (const Subscription& subscription : subscriptions_) {
      requests.push_back(newRequest(subscription, nullptr, nullptr));
    }
  }
  for (const RequestPtr& request : requests) {
    if (const int rc = issue(client, *request); rc != MQTTASYNC_SUCCESS) {
      abandon(request, false);
      hooks_.emit(LinkEvent::Kind::Error, fmt::format("{}: cannot subscribe to {}: {}", uri_,
                                                      request->filter, errorText(rc)));
    }
  }
}

void Subscriptions::linkDown() {
  std::lock_guard<std::mutex> lock(mutex_);
  connected_ = false;
}

// Call with mutex_ held.
Subscriptions::RequestPtr Subscriptions::newRequest(const Subscription& subscription,
                                                    MQTTAsync_onSuccess* onSuccess,
                                                    MQTTAsync_onFailure* onFailure) {
  auto request = std::make_shared<Request>(Request{this, subscription.filter, subscription.qos,
                                                   connection_, onSuccess, onFailure});
  requests_.push_back(request);
  return request;
}

int Subscriptions::issue(MQTTAsync client, const Request& request) {
  MQTTAsync_responseOptions options = MQTTAsync_responseOptions_initializer;
  options.onSuccess = &onSubscribeSuccess;
  options.onFailure = &onSubscribeFailure;
  options.context = const_cast<Request*>(&request);
  return MQTTAsync_subscribe(client, request.filter.c_str(), static_cast<int>(request.qos),
                             &options);
}

void Subscriptions::abandon(const RequestPtr& request, bool forget) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.remove(request);
  if (forget) {
    subscriptions_.erase(
        std::remove_if(subscriptions_.begin(), subscriptions_.end(),
                       [&](const Subscription& s) { return s.filter == request->filter; }),
        subscriptions_.end());
  }
}

void Subscriptions::await(const Request& request, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!answered_.wait_for(lock, limit, [&] { return request.answered || stopped_; }) ||
      stopped_) {
    throw MqttError(fmt::format("mqtt: subscription of client {} to {} not acknowledged",
                                clientId_, request.filter));
  }
  if (!request.granted) {
    throw MqttError(fmt::format("mqtt: subscription of client {} to {} refused by {}",
                                clientId_, request.filter, uri_));
  }
}

void Subscriptions::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  answered_.notify_all();
}

bool Subscriptions::acknowledged(const std::string& filter, std::uint64_t connection) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto granted = granted_.find(filter);
  return connected_ && connection == connection_ && granted != granted_.end() &&
         granted->second == connection;
}

// `code`: the broker's granted QoS, or the failure code.
void Subscriptions::answered(Request& request, bool granted, int code) noexcept {
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
    if (granted || code == kSubscriptionRefused) {
      hooks_.heard();
    }
    hooks_.changed();
    if (code == kSubscriptionRefused) {
      hooks_.emit(LinkEvent::Kind::Error,
                  fmt::format("{}: subscription to {} refused by the broker", uri_, filter));
    }
  } catch (...) {
  }
}

void Subscriptions::reportCallbackError(const std::string& error) const noexcept {
  if (!error.empty()) {
    try {
      hooks_.emit(LinkEvent::Kind::Error, fmt::format("{}: {}", uri_, error));
    } catch (...) {
    }
  }
}

void Subscriptions::onSubscribeSuccess(void* context, MQTTAsync_successData* data) {
  const LibraryCallback callback;
  auto& request = *static_cast<Request*>(context);
  // Copied first: answering may free the request.
  Subscriptions* const self = request.owner;
  MQTTAsync_onSuccess* const userCallback = request.onSuccess;
  const int grantedQos = data != nullptr ? data->alt.qos : 0;
  self->answered(request, grantedQos != kSubscriptionRefused, grantedQos);
  if (userCallback != nullptr) {
    self->reportCallbackError(callUserCallback(userCallback, self->userContext_, data));
  }
}

void Subscriptions::onSubscribeFailure(void* context, MQTTAsync_failureData* data) {
  const LibraryCallback callback;
  auto& request = *static_cast<Request*>(context);
  Subscriptions* const self = request.owner;
  MQTTAsync_onFailure* const userCallback = request.onFailure;
  self->answered(request, false, data != nullptr ? data->code : MQTTASYNC_FAILURE);
  if (userCallback != nullptr) {
    self->reportCallbackError(callUserCallback(userCallback, self->userContext_, data));
  }
}

}  // namespace talvoro::mosquitto::detail
