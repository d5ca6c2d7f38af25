#include "testsupport/test_certificates.h"

#include <fstream>
#include <vector>

#include "testsupport/mosquitto_broker.h"

namespace testsupport {

TestCertificates::TestCertificates() {
  // Elliptic-curve keys: generated in milliseconds, unlike RSA ones.
  const std::vector<std::string> newKey = {"-newkey", "ec", "-pkeyopt",
                                           "ec_paramgen_curve:prime256v1", "-nodes"};
  std::vector<std::string> ca = {"openssl", "req", "-x509", "-days", "2", "-subj", "/CN=test CA",
                                 "-keyout", path("ca.key"), "-out", caFile()};
  ca.insert(ca.end(), newKey.begin(), newKey.end());
  runCommand(ca);

  std::vector<std::string> request = {"openssl", "req", "-subj", "/CN=127.0.0.1",
                                      "-keyout", keyFile(), "-out", path("server.csr")};
  request.insert(request.end(), newKey.begin(), newKey.end());
  runCommand(request);

  std::ofstream(path("server.ext")) << "subjectAltName=IP:127.0.0.1\n";
  runCommand({"openssl", "x509", "-req", "-days", "2", "-set_serial", "1", "-in",
              path("server.csr"), "-CA", caFile(), "-CAkey", path("ca.key"), "-extfile",
              path("server.ext"), "-out", certFile()});

  std::vector<std::string> client = {"openssl", "req", "-subj", "/CN=rules-client",
                                     "-keyout", clientKeyFile(), "-out", path("client.csr")};
  client.insert(client.end(), newKey.begin(), newKey.end());
  runCommand(client);
  runCommand({"openssl", "x509", "-req", "-days", "2", "-set_serial", "2", "-in",
              path("client.csr"), "-CA", caFile(), "-CAkey", path("ca.key"), "-out",
              clientCertFile()});
}

}  // namespace testsupport
