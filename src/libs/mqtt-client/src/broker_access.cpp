#include "talvoro/mosquitto/detail/broker_access.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "talvoro/files/file_read.h"

namespace talvoro::mosquitto::detail {
namespace {

constexpr const char* kDefaultBrokerUrl = "tcp://127.0.0.1:1883";

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool startsWith(const std::string& text, std::string_view prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The whole content of `path`; `what` names the file in errors. A password
// or a certificate is small: a larger file is no such thing.
std::string readFile(const std::string& path, std::string_view what) {
  constexpr std::size_t kMaxBytes = 1024 * 1024;
  try {
    std::optional<std::string> content = files::readRegularFile(path, kMaxBytes);
    if (!content) {
      throw files::FileError::fromErrno(path, ENOENT);
    }
    return std::move(*content);
  } catch (const files::FileError& error) {
    throw MqttError(fmt::format("mqtt: cannot read {} {}", what, error.what()));
  }
}

}  // namespace

BrokerAccess::BrokerAccess(std::string uri) : BrokerAccess(std::move(uri), std::nullopt) {}

BrokerAccess::BrokerAccess(std::string uri, const std::optional<Login>& login)
    : uri_(std::move(uri)) {
  if (uri_.empty()) {
    uri_ = kDefaultBrokerUrl;
  }
  tls_ = startsWith(uri_, "ssl://") || startsWith(uri_, "mqtts://");
  if (login) {
    takeLogin(login->username, login->passwordFile, "the user name", "the password file");
  } else {
    takeLogin(environment("MQTT_USERNAME"), environment("MQTT_PASSWORD_FILE"), "MQTT_USERNAME",
              "MQTT_PASSWORD_FILE");
  }
  if (tls_) {
    caFile_ = environment("MQTT_CA_FILE");
    if (!caFile_.empty()) {
      readFile(caFile_, "CA certificate file");  // fail now rather than at each attempt
    }
  }
  takeClientCertificate();
}

void BrokerAccess::takeLogin(const std::string& username, const std::string& passwordFile,
                             const char* usernameSource, const char* passwordSource) {
  username_ = username;
  if (passwordFile.empty()) {
    return;
  }
  if (username_.empty()) {
    throw MqttError(fmt::format("mqtt: password file {} given ({}) without a user name ({})",
                                passwordFile, passwordSource, usernameSource));
  }
  password_ = readFile(passwordFile, "password file");
  if (!password_.empty() && password_.back() == '\n') {
    password_.pop_back();
  }
}

// A client certificate is asked for to log in with it: one that cannot be
// used is an error now, never a connection without it.
void BrokerAccess::takeClientCertificate() {
  certFile_ = environment("MQTT_CERT_FILE");
  keyFile_ = environment("MQTT_KEY_FILE");
  if (certFile_.empty() && keyFile_.empty()) {
    return;
  }
  if (certFile_.empty() || keyFile_.empty()) {
    throw MqttError(fmt::format(
        "mqtt: a client certificate needs both MQTT_CERT_FILE and MQTT_KEY_FILE; only {} is set",
        certFile_.empty() ? "MQTT_KEY_FILE" : "MQTT_CERT_FILE"));
  }
  if (!tls_) {
    throw MqttError(fmt::format(
        "mqtt: client certificate {} given, but the broker address {} does not use TLS "
        "(ssl:// or mqtts://)",
        certFile_, uri_));
  }
  readFile(certFile_, "client certificate file");
  readFile(keyFile_, "client key file");
}

int BrokerAccess::connect(MQTTAsync client, const SessionRequest& session) {
  MQTTAsync_connectOptions options = MQTTAsync_connectOptions_initializer;
  options.cleansession = session.cleanSession ? 1 : 0;
  // The default tries 3.1.1 and falls back to 3.1, which races on reconnect.
  options.MQTTVersion = MQTTVERSION_3_1_1;
  options.keepAliveInterval = session.keepAliveSeconds;
  options.onSuccess = session.onSuccess;
  options.onFailure = session.onFailure;
  options.context = session.context;
  if (!username_.empty()) {
    options.username = username_.c_str();
    options.binarypwd.data = password_.data();
    options.binarypwd.len = static_cast<int>(password_.size());
  }
  MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
  if (session.will != nullptr) {
    will.topicName = session.will->topic.c_str();
    will.payload.data = session.will->payload.data();
    will.payload.len = static_cast<int>(session.will->payload.size());
    will.qos = static_cast<int>(session.will->qos);
    will.retained = session.will->retained ? 1 : 0;
    options.will = &will;
  }
  MQTTAsync_SSLOptions tls = MQTTAsync_SSLOptions_initializer;
  if (tls_) {
    tls.trustStore = caFile_.empty() ? nullptr : caFile_.c_str();
    tls.enableServerCertAuth = 1;
    tls.verify = 1;  // the certificate must name the host of the address
    if (!certFile_.empty()) {
      tls.keyStore = certFile_.c_str();
      tls.privateKey = keyFile_.c_str();
    }
    tls.ssl_error_cb = &onTlsError;
    tls.ssl_error_context = this;
    options.ssl = &tls;
  }
  // The library copies what it keeps of the options.
  return MQTTAsync_connect(client, &options);
}

std::string BrokerAccess::takeTlsError() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(lastTlsError_, {});
}

std::string BrokerAccess::refusalHint(int code) const {
  constexpr int kBadCredentials = 4;  // and 5, not authorised
  if (code < 0 && tls_ && certFile_.empty()) {
    // A broker that requires client certificates closes the link after the
    // handshake, and the library reports no more than a failed connect.
    return "; no client certificate was shown (MQTT_CERT_FILE, rules-push --cert): does the "
           "broker require one?";
  }
  if (code >= kBadCredentials && !password_.empty() && password_.back() == '\r') {
    // The broker never says why; a file saved with Windows line ends is the
    // usual cause, and invisible to whoever looks at it.
    return "; the password from MQTT_PASSWORD_FILE ends with a carriage return "
           "(a file with Windows line ends?)";
  }
  return {};
}

int BrokerAccess::onTlsError(const char* text, size_t length, void* context) {
  auto* self = static_cast<BrokerAccess*>(context);
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

}  // namespace talvoro::mosquitto::detail
