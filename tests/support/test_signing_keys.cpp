#include "testsupport/test_signing_keys.h"

#include <fstream>
#include <stdexcept>

#include "testsupport/mosquitto_broker.h"

namespace testsupport {

TestSigningKey::TestSigningKey() {
  runCommand({"openssl", "genpkey", "-algorithm", "ed25519", "-out", privateKeyFile()});
  runCommand({"openssl", "pkey", "-in", privateKeyFile(), "-pubout", "-out", publicKeyFile()});
  runCommand({"openssl", "pkey", "-pubin", "-in", publicKeyFile(), "-outform", "DER", "-out",
              path("public.der")});
  runCommand({"openssl", "dgst", "-sha256", "-r", "-out", path("public.sha256"),
              path("public.der")});
  std::string digest;
  if (!(std::ifstream(path("public.sha256")) >> digest) || digest.size() < 16) {
    throw std::runtime_error("TestSigningKey: no SHA-256 from openssl dgst");
  }
  id_ = digest.substr(0, 16);
}

}  // namespace testsupport
