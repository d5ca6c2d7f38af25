// Where and as whom the wrapper connects: the broker address and the
// credentials, taken from the environment and the files it names.
#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "talvoro/mosquitto/mqtt_async_wrapper.h"

namespace talvoro::mosquitto {
namespace {

constexpr const char* kDefaultBrokerUrl = "tcp://127.0.0.1:1883";

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

}  // namespace

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

}  // namespace talvoro::mosquitto
