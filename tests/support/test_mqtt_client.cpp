#include "testsupport/test_mqtt_client.h"

#include "testsupport/eventually.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <fmt/format.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace testsupport {
namespace {

constexpr auto kCompletionTimeout = std::chrono::seconds(10);

void check(int rc, const std::string& what) {
  if (rc != MQTTCLIENT_SUCCESS) {
    const char* text = MQTTClient_strerror(rc);
    throw std::runtime_error(fmt::format("TestMqttClient: {}: {} ({})", what,
                                         text != nullptr ? text : "error", rc));
  }
}

int portOf(const std::string& url) {
  const auto colon = url.rfind(':');
  return colon == std::string::npos ? -1 : std::atoi(url.c_str() + colon + 1);
}

int peerPort(int fd) {
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
    return -1;
  }
  if (peer.ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in&>(peer).sin_port);
  }
  if (peer.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6&>(peer).sin6_port);
  }
  return -1;
}

// Paho neither sets TCP_NODELAY nor exposes its socket. Without it, a request
// sent while our previous small packet (say a PUBACK) is still unacknowledged
// waits for the broker's delayed ACK: about 40 ms per request-reply round
// trip. So every socket of this process connected to the broker's port gets
// it, which is harmless for the others.
void disableNagleTowards(int port) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    const int fd = std::atoi(entry.path().filename().c_str());
    if (peerPort(fd) == port) {
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
  }
}

}  // namespace

TestMqttClient::~TestMqttClient() { close(); }

void TestMqttClient::close() noexcept {
  if (client_ == nullptr) {
    return;
  }
  if (MQTTClient_isConnected(client_)) {
    MQTTClient_disconnect(client_, 1000);
  }
  MQTTClient_destroy(&client_);
}

void TestMqttClient::connect(const std::string& url, const std::string& clientId) {
  close();
  url_ = url;
  check(MQTTClient_create(&client_, url.c_str(), clientId.c_str(),
                          MQTTCLIENT_PERSISTENCE_NONE, nullptr),
        fmt::format("create client {} for {}", clientId, url));
  // No connection-lost handler: tests that restart the broker connect anew.
  check(MQTTClient_setCallbacks(client_, this, nullptr, &onMessage, &onDelivered),
        "set callbacks");
  MQTTClient_connectOptions options = MQTTClient_connectOptions_initializer;
  options.MQTTVersion = MQTTVERSION_3_1_1;
  options.cleansession = 1;
  check(MQTTClient_connect(client_, &options), fmt::format("connect to {}", url));
  disableNagleTowards(portOf(url));
}

void TestMqttClient::subscribe(const std::string& filter, int qos) {
  check(MQTTClient_subscribe(client_, filter.c_str(), qos),
        fmt::format("subscribe to {} at {}", filter, url_));
}

void TestMqttClient::publish(const std::string& topic, const std::string& payload,
                             int qos, bool retained) {
  MQTTClient_message message = MQTTClient_message_initializer;
  message.payload = const_cast<char*>(payload.data());
  message.payloadlen = static_cast<int>(payload.size());
  message.qos = qos;
  message.retained = retained ? 1 : 0;
  MQTTClient_deliveryToken token = 0;
  const std::string what = fmt::format("publish to {} at {}", topic, url_);
  check(MQTTClient_publishMessage(client_, topic.c_str(), &message, &token), what);
  if (qos == 0) {
    return;
  }
  // Not MQTTClient_waitForCompletion: with callbacks set it polls only every
  // 100 ms, which makes bursts of acknowledged messages crawl.
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, patience(kCompletionTimeout),
                         [&] { return delivered_.count(token) > 0; })) {
    throw std::runtime_error(
        fmt::format("TestMqttClient: {}: no acknowledgement", what));
  }
  delivered_.erase(token);
}

std::optional<Received> TestMqttClient::waitMessage(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, timeout, [this] { return !queue_.empty(); })) {
    return std::nullopt;
  }
  Received next = std::move(queue_.front());
  queue_.pop_front();
  return next;
}

int TestMqttClient::onMessage(void* context, char* topic, int topicLen,
                              MQTTClient_message* message) {
  auto* self = static_cast<TestMqttClient*>(context);
  try {
    Received received{
        topicLen > 0 ? std::string(topic, topicLen) : std::string(topic),
        message->payloadlen > 0
            ? std::string(static_cast<const char*>(message->payload),
                          static_cast<size_t>(message->payloadlen))
            : std::string(),
        message->retained != 0};
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->queue_.push_back(std::move(received));
    }
    self->changed_.notify_all();
  } catch (...) {
    return 0;  // the library keeps the message and offers it again
  }
  MQTTClient_freeMessage(&message);
  MQTTClient_free(topic);
  return 1;
}

void TestMqttClient::onDelivered(void* context, MQTTClient_deliveryToken token) {
  auto* self = static_cast<TestMqttClient*>(context);
  try {
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->delivered_.insert(token);
  } catch (...) {
    return;  // publish() then reports the missing acknowledgement
  }
  self->changed_.notify_all();
}

}  // namespace testsupport
