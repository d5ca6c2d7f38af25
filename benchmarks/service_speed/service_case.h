#pragma once
// The built service, in its private mount namespace, driven over MQTT by an
// independent client that checks every status against the CRC-32 of the
// rule text it sent.

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

#include "request_reply.h"
#include "service_fixture.h"
#include "testsupport/mosquitto_broker.h"

namespace talvoro::signing {
class PrivateKey;
}

namespace speed {

// Signed mode for a case: the service trusts the public key of the
// directory, the publisher signs every rule (each with a timestamp line) and
// the configuration with the private key.
struct Signing {
  std::string trustedKeysDir;
  const talvoro::signing::PrivateKey* key = nullptr;
};

// One service process with `rules` rule files already installed (written
// before it starts, each of about `ruleBytes` bytes), configured and ready
// for rules. Every rule sent updates one of the installed rules with a text
// of its own, so that each is installed and acknowledged. CPU and memory are
// the service process's. Stops the service on destruction.
class ServiceCase : public Driver {
 public:
  // `binary` is the service to run: the one built with the benchmark, or
  // another build to compare it with. `label` tells cases apart in rule
  // names and client identifiers.
  // With `signing` the service runs in signed mode.
  ServiceCase(const testsupport::MosquittoBroker& broker, const std::filesystem::path& dir,
              std::size_t rules, std::size_t ruleBytes, const std::string& binary,
              const std::string& label, const Signing* signing = nullptr);

 private:
  void startConfigured(const testsupport::MosquittoBroker& broker, const std::filesystem::path& dir,
                       const std::string& binary, const Signing* signing);

  std::unique_ptr<e2e::ServiceProcess> service_;
};

}  // namespace speed
