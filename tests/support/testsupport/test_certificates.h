#pragma once

#include <filesystem>
#include <string>

#include "testsupport/temp_dir.h"

namespace testsupport {

// A throwaway certificate authority, a server certificate it signed for
// 127.0.0.1 (as IP address subject alternative name) and a client one, made with the openssl
// command in a temporary directory of their own. Throws std::runtime_error
// when openssl fails.
class TestCertificates {
 public:
  TestCertificates();

  std::string caFile() const { return path("ca.crt"); }
  std::string certFile() const { return path("server.crt"); }
  std::string keyFile() const { return path("server.key"); }
  // A client certificate signed by the same CA, and its key.
  std::string clientCertFile() const { return path("client.crt"); }
  std::string clientKeyFile() const { return path("client.key"); }

 private:
  std::string path(const char* name) const { return (dir_.path() / name).string(); }

  TempDir dir_;
};

}  // namespace testsupport
