// The wrapper's subscriptions: remembered for every reconnection, issued,
// and the broker's answer to each request kept (Acknowledged).
#include <fmt/format.h>

#include <algorithm>
#include <chrono>

#include "library_callback.h"
#include "link_texts.h"
#include "talvoro/mosquitto/mqtt_async_wrapper.h"

namespace talvoro::mosquitto {
namespace {

using namespace std::chrono_literals;
using detail::callUserCallback;
using detail::check;
using detail::errorText;
using detail::LibraryCallback;

constexpr auto kSubscribeWait = 10s;
// What a broker puts in a SUBACK for a subscription it refuses.
constexpr int kSubscriptionRefused = 0x80;

}  // namespace

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
  const std::optional<int> rc = callLibrary(
      [this, subscription, request] { return requestSubscription(subscription, request); },
      [this, request, topicFilter](int late) {
        // Subscribe has returned: nobody to throw to.
        if (late != MQTTASYNC_SUCCESS) {
          abandon(request, late == MQTTASYNC_DISCONNECTED ? "" : topicFilter);
          emit(LinkEvent::Kind::Error, fmt::format("{}: cannot subscribe to {}: {}", access_.uri,
                                                   topicFilter, errorText(late)));
        }
      });
  if (rc && *rc != MQTTASYNC_SUCCESS) {
    abandon(request, *rc == MQTTASYNC_DISCONNECTED ? "" : topicFilter);
    if (*rc == MQTTASYNC_DISCONNECTED) {
      return false;  // the link just dropped; the reconnection issues it
    }
    check(*rc, fmt::format("cannot subscribe client {} to {}", clientId_, topicFilter));
  }
  if (waitForCompletion) {
    awaitAnswer(*request);
  }
  return true;
}

bool MqttAsyncWrapper::Acknowledged(const std::string& filter, std::uint64_t connection) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto granted = granted_.find(filter);
  return connected_ && connection == connection_ && granted != granted_.end() &&
         granted->second == connection;
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

void MqttAsyncWrapper::onSubscribeSuccess(void* context, MQTTAsync_successData* data) {
  const LibraryCallback callback;
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
  const LibraryCallback callback;
  auto& request = *static_cast<SubscriptionRequest*>(context);
  MqttAsyncWrapper* const self = request.owner;
  const FailureCallback userCallback = request.onFailure;
  self->subscriptionAnswered(request, false, data != nullptr ? data->code : MQTTASYNC_FAILURE);
  if (userCallback != nullptr) {
    self->reportCallbackError(callUserCallback(userCallback, self, data));
  }
}

}  // namespace talvoro::mosquitto
