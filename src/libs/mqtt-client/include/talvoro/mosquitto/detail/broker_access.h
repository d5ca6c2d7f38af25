#pragma once
// Where and as whom the client connects: the broker address and the
// credentials, taken from the environment and the files it names; and one
// connection attempt made with them.

#include <MQTTAsync.h>

#include <mutex>
#include <optional>
#include <string>

#include "talvoro/mosquitto/mqtt_types.h"

namespace talvoro::mosquitto::detail {

// The message the broker publishes when the link breaks without a disconnect.
struct Will {
  std::string topic;
  std::string payload;
  Qos qos;
  bool retained;
};

// What a connection attempt asks for besides address and credentials; the
// callbacks get `context`.
struct SessionRequest {
  bool cleanSession = true;
  const Will* will = nullptr;
  int keepAliveSeconds = 0;
  MQTTAsync_onSuccess* onSuccess = nullptr;
  MQTTAsync_onFailure* onFailure = nullptr;
  void* context = nullptr;
};

class BrokerAccess {
 public:
  // The broker at `uri` (empty: tcp://127.0.0.1:1883; "ssl://" or "mqtts://"
  // for TLS), logging in as MQTT_USERNAME with the password in
  // MQTT_PASSWORD_FILE, trusting MQTT_CA_FILE, showing the client certificate
  // MQTT_CERT_FILE with its key MQTT_KEY_FILE. Throws MqttError for a file
  // that cannot be read, naming it (never the password), and for a client
  // certificate without its key (or the other way round) or without TLS.
  explicit BrokerAccess(std::string uri);
  // The same, logging in as `login` says when it is given, whatever the
  // environment says.
  BrokerAccess(std::string uri, const std::optional<Login>& login);

  BrokerAccess(const BrokerAccess&) = delete;
  BrokerAccess& operator=(const BrokerAccess&) = delete;

  const std::string& uri() const { return uri_; }

  // Starts one connection attempt of `client`; the library's return code.
  int connect(MQTTAsync client, const SessionRequest& session);

  // What the TLS layer said against the last attempt, once; empty if nothing.
  std::string takeTlsError();

  // A likely cause, for an attempt that failed with `code`, that the broker
  // does not name: a password file with Windows line ends for a refused
  // login; a missing client certificate for a TLS link that broke off.
  // Empty when there is none.
  std::string refusalHint(int code) const;

 private:
  void takeLogin(const std::string& username, const std::string& passwordFile,
                 const char* usernameSource, const char* passwordSource);
  static int onTlsError(const char* text, size_t length, void* context);
  void takeClientCertificate();

  std::string uri_;
  std::string username_;
  std::string password_;
  std::string caFile_;
  std::string certFile_;
  std::string keyFile_;
  bool tls_ = false;
  std::mutex mutex_;
  std::string lastTlsError_;
};

}  // namespace talvoro::mosquitto::detail
