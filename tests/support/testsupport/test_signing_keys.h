#pragma once

#include <string>

#include "testsupport/temp_dir.h"

namespace testsupport {

// An Ed25519 key pair made with the openssl command as an operator makes one
// (genpkey, then pkey -pubout), in a temporary directory of its own. Throws
// std::runtime_error when openssl fails.
class TestSigningKey {
 public:
  TestSigningKey();

  std::string privateKeyFile() const { return path("private.pem"); }
  std::string publicKeyFile() const { return path("public.pem"); }
  // Its key id as the openssl command gives it: the first 16 hex digits of
  // the SHA-256 of the public key's DER encoding.
  std::string id() const { return id_; }

 private:
  std::string path(const char* name) const { return (dir_.path() / name).string(); }

  TempDir dir_;
  std::string id_;
};

}  // namespace testsupport
