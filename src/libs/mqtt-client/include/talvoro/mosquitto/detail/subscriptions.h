#pragma once
// The client's subscriptions: remembered for every connection, requested of
// the broker, and the broker's answer to each request kept.

#include <MQTTAsync.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "talvoro/mosquitto/mqtt_types.h"

namespace talvoro::mosquitto::detail {

class Subscriptions {
 public:
  // One request of a subscription on one connection; the library's answer
  // finds it through the callback context.
  struct Request {
    Subscriptions* owner;
    std::string filter;
    Qos qos;
    std::uint64_t connection;
    MQTTAsync_onSuccess* onSuccess;
    MQTTAsync_onFailure* onFailure;
    bool answered = false;
    bool granted = false;
  };
  using RequestPtr = std::shared_ptr<Request>;

  struct Hooks {
    std::function<void()> heard;    // the broker answered
    std::function<void()> changed;  // a request was answered (or given up)
    std::function<void(LinkEvent::Kind, const std::string&)> emit;
  };

  // `userContext` is the context of the user's callbacks; `uri` and
  // `clientId` name the broker and the client in errors.
  Subscriptions(void* userContext, std::string uri, std::string clientId, Hooks hooks);

  // Remembers `filter` (with `qos`, replacing an earlier one) for every
  // connection. Returns the request to issue now, or null while the link is
  // down: the next requestAll() requests it.
  RequestPtr add(const std::string& filter, Qos qos, MQTTAsync_onSuccess* onSuccess,
                 MQTTAsync_onFailure* onFailure);

  // Connection `connection` is up: requests every remembered subscription
  // of `client`, in order. For the library's connected callback; refusals
  // are reported (the next connection tries again).
  void requestAll(MQTTAsync client, std::uint64_t connection);
  void linkDown();

  // Asks `client` for the subscription; the library's return code.
  static int issue(MQTTAsync client, const Request& request);

  // The library refused `request`, so no answer comes; `forget` drops the
  // subscription as well.
  void abandon(const RequestPtr& request, bool forget);

  // Waits at most `limit` for the broker's answer to `request`. Throws
  // MqttError when it did not come, did not grant it, or stop() was called.
  void await(const Request& request, std::chrono::milliseconds limit);

  // Ends every await().
  void stop();

  // True when the broker granted `filter` during connection `connection`
  // and that connection is still up.
  bool acknowledged(const std::string& filter, std::uint64_t connection) const;

  static void onSubscribeSuccess(void* context, MQTTAsync_successData* data);
  static void onSubscribeFailure(void* context, MQTTAsync_failureData* data);

 private:
  struct Subscription {
    std::string filter;
    Qos qos;
  };

  RequestPtr newRequest(const Subscription& subscription, MQTTAsync_onSuccess* onSuccess,
                        MQTTAsync_onFailure* onFailure);
  void answered(Request& request, bool granted, int code) noexcept;
  void reportCallbackError(const std::string& error) const noexcept;

  void* const userContext_;
  const std::string uri_;
  const std::string clientId_;
  Hooks hooks_;
  mutable std::mutex mutex_;
  std::condition_variable answered_;
  std::vector<Subscription> subscriptions_;
  // Unanswered requests stay until the client goes: the library may still
  // answer (fail) them late.
  std::list<RequestPtr> requests_;
  std::map<std::string, std::uint64_t> granted_;  // filter -> connection
  bool connected_ = false;
  std::uint64_t connection_ = 0;
  bool stopped_ = false;
};

}  // namespace talvoro::mosquitto::detail
