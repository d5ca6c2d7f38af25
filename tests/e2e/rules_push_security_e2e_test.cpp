// rules-push and the service with the operator's keys: a deployment signed
// with --sign-key for a service in signed mode, both programs against a
// broker that requires client certificates, and a fleet file's logins.

#include <sys/wait.h>

#include "push_fixture.h"
#include "testsupport/test_certificates.h"
#include "testsupport/test_signing_keys.h"

namespace e2e {
namespace {

constexpr const char* kStructure = R"({"elements": {"lamp1": {"device": "relay_7"}}})";

bool contains(const std::string& text, const std::string& fragment) {
  return text.find(fragment) != std::string::npos;
}

TEST_F(PushTest, SignsRulesRemovalsAndTheConfigurationForAServiceInSignedMode) {
  const testsupport::TestSigningKey key;
  const fs::path trusted = scratch_.path() / "trusted";
  fs::create_directory(trusted);
  fs::copy_file(key.publicKeyFile(), trusted / "deploy.pem");
  serviceEnvironment_["RULES_TRUSTED_KEYS"] = trusted.string();
  startService();
  const std::string structure = writeInput("structure.json", kStructure);
  const std::string rule = writeInput("lamp.js", "// 1765090800\nDEVICE_NAME(lamp1)\n");
  const std::string signKey = key.privateKeyFile();

  PushRun run = push({"--sign-key", signKey, "--configuration", structure, rule});
  EXPECT_EQ(run.exitCode, 0) << run.output << run.errors;
  EXPECT_TRUE(contains(run.output, "lamp: installed")) << run.output;
  // Signatures are deterministic: the same text signs to the same message.
  run = push({"--sign-key", signKey, "--check", rule});
  EXPECT_EQ(run.exitCode, 0) << run.output << run.errors;
  EXPECT_TRUE(contains(run.output, "lamp: in place")) << run.output;

  run = push({rule});
  EXPECT_EQ(run.exitCode, 1) << run.output << run.errors;
  EXPECT_TRUE(contains(run.output, "lamp: rejected: the rule is not signed")) << run.output;
  run = push({"--sign-key", signKey, "--clear", writeInput("lamp-removal.js", "")});
  EXPECT_TRUE(contains(run.output, "lamp-removal: cleared")) << run.output;
  run = push({"--sign-key", signKey, "--clear", "--name", "lamp", writeInput("empty", "")});
  EXPECT_EQ(run.exitCode, 0) << run.output << run.errors;
  EXPECT_TRUE(contains(run.output, "lamp: cleared")) << run.output;
  EXPECT_TRUE(ruleFiles().empty());

  // Refused before anything is sent: a key that is no private key, a rule
  // that the service would refuse for want of a timestamp line.
  run = push({"--sign-key", key.publicKeyFile(), rule});
  EXPECT_EQ(run.exitCode, 2) << run.output << run.errors;
  EXPECT_TRUE(contains(run.errors, "--sign-key: ")) << run.errors;
  EXPECT_TRUE(contains(run.errors, key.publicKeyFile())) << run.errors;
  run = push({"--sign-key", signKey, writeInput("untimed.js", "DEVICE_NAME(lamp1)\n")});
  EXPECT_EQ(run.exitCode, 2) << run.output << run.errors;
  EXPECT_TRUE(contains(run.errors, "rule untimed: a signed rule needs a timestamp line"))
      << run.errors;
  EXPECT_EQ(countInBrokerLog("/tl/bridge/rules/add/untimed"), 0u);
}

// The trace log of a service run in `logs`, all files.
std::string traceIn(const fs::path& logs) {
  std::string text;
  const fs::path dir = logs / "rules-preprocessor";
  if (fs::exists(dir)) {
    for (const auto& entry : fs::directory_iterator(dir)) {
      text += readAll(entry.path());
    }
  }
  return text;
}

TEST_F(PushTest, BothProgramsLogInWithClientCertificatesAndFailClearlyWithoutThem) {
  const testsupport::TestCertificates certs;
  testsupport::BrokerOptions options;
  options.certFile = certs.certFile();
  options.keyFile = certs.keyFile();
  options.clientCaFile = certs.caFile();
  broker_ = std::make_unique<testsupport::MosquittoBroker>(
      testsupport::MosquittoBroker::Start::Now, options);
  serviceEnvironment_ = {{"MQTT_CA_FILE", certs.caFile()},
                         {"MQTT_CERT_FILE", certs.clientCertFile()},
                         {"MQTT_KEY_FILE", certs.clientKeyFile()}};
  startService();  // it subscribed: it logged in with its certificate

  const std::string structure = writeInput("structure.json", kStructure);
  PushRun run = push({"--ca", certs.caFile(), "--cert", certs.clientCertFile(), "--key",
                      certs.clientKeyFile(), "--configuration", structure});
  EXPECT_EQ(run.exitCode, 0) << run.output << run.errors;
  EXPECT_TRUE(contains(run.output, "accepted")) << run.output;

  run = push({"--ca", certs.caFile(), "--timeout", "2", "--configuration", structure});
  EXPECT_EQ(run.exitCode, 3) << run.output << run.errors;
  EXPECT_TRUE(contains(run.errors, "no client certificate was shown")) << run.errors;
  run = push({"--ca", certs.caFile(), "--cert", "/nonexistent/client.crt", "--key",
              certs.clientKeyFile(), "--configuration", structure});
  EXPECT_EQ(run.exitCode, 2) << run.output << run.errors;
  EXPECT_TRUE(contains(run.errors, "cannot read client certificate file /nonexistent/client.crt"))
      << run.errors;

  // A second service without a certificate keeps trying and says why; one
  // whose certificate file is missing does not start.
  const fs::path second = scratch_.path() / "second";
  for (const char* dir : {"rules", "logs", "work"}) {
    fs::create_directories(second / dir);
  }
  {
    ServiceProcess withoutCertificate(broker_->url(), second / "rules", second / "logs",
                                      second / "work", RULES_PREPROCESSOR_BINARY,
                                      {{"MQTT_CA_FILE", certs.caFile()}});
    EXPECT_TRUE(eventually(
        [&] { return contains(traceIn(second / "logs"), "no client certificate was shown"); }))
        << traceIn(second / "logs");
    EXPECT_TRUE(withoutCertificate.running());
  }
  ServiceProcess missingFile(broker_->url(), second / "rules", second / "logs", second / "work",
                             RULES_PREPROCESSOR_BINARY,
                             {{"MQTT_CA_FILE", certs.caFile()},
                              {"MQTT_CERT_FILE", "/nonexistent/client.crt"},
                              {"MQTT_KEY_FILE", certs.clientKeyFile()}});
  const std::optional<int> status = missingFile.waitExit(10s);
  ASSERT_TRUE(status && WIFEXITED(*status));
  EXPECT_NE(WEXITSTATUS(*status), 0);
  EXPECT_TRUE(contains(readAll(second / "work" / kStandardErrorFile),
                       "cannot read client certificate file /nonexistent/client.crt"))
      << readAll(second / "work" / kStandardErrorFile);
}

// Each line of a fleet file logs in as it says: one connection per login,
// and a refused login ends only the controllers behind it.
TEST_F(PushTest, EachFleetLineLogsInAsItSays) {
  testsupport::BrokerOptions options;
  options.users = {{"deploy", "right"}};
  const testsupport::MosquittoBroker guarded(testsupport::MosquittoBroker::Start::Now, options);
  const std::string right = writeInput("right.pw", "right\n");
  const std::string wrong = writeInput("wrong.pw", "wrong\n");
  const std::string fleet = writeInput(
      "fleet.txt", "# two logins on one broker\n" + guarded.url() +
                       " site/ok user=deploy password-file=" + right + "\n" + guarded.url() +
                       " site/bad user=deploy password-file=" + wrong + "\n");
  const PushRun run =
      push({"--fleet", fleet, "--timeout", "1", writeInput("r.js", "x")}, false);
  EXPECT_EQ(run.exitCode, 5) << run.output << run.errors;
  EXPECT_TRUE(contains(run.output, "site/bad: r: no result: refused: ")) << run.output;
  // Logged in, it finds no service under its prefix.
  EXPECT_TRUE(contains(run.output, "site/ok: r: no result: no service: ")) << run.output;

  const PushRun malformed = push(
      {"--fleet", writeInput("bad.txt", "site/a\nsite/b password-file=" + right + "\n"),
       writeInput("r.js", "x")},
      false);
  EXPECT_EQ(malformed.exitCode, 2);
  EXPECT_TRUE(contains(malformed.errors, "bad.txt:2: a password file without user=NAME"))
      << malformed.errors;
}

}  // namespace
}  // namespace e2e
