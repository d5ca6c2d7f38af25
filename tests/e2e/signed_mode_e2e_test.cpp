// Signed mode against the built service, with keys made by the openssl
// command: what a signature must cover, replays, removals, key rotation,
// IO structures, keys refused at the start, and the mode left unset.

#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>

#include "service_fixture.h"
#include "talvoro/signing/signatures.h"
#include "testsupport/test_signing_keys.h"

namespace e2e {
namespace {

using nlohmann::json;
using testsupport::TestSigningKey;
using Files = std::vector<std::string>;

std::string structureOf(const std::string& relay) {
  return R"({"elements": {"lamp1": {"device": ")" + relay + R"("}}})";
}

talvoro::signing::PrivateKey privateKeyOf(const TestSigningKey& key) {
  return talvoro::signing::PrivateKey::fromFile(key.privateKeyFile());
}

std::string signedRule(const TestSigningKey& key, const std::string& name,
                       const std::string& text) {
  return talvoro::signing::signRule(privateKeyOf(key), name, text);
}

std::string signedStructure(const TestSigningKey& key, const std::string& relay,
                            long long timestamp) {
  return talvoro::signing::signConfiguration(privateKeyOf(key), structureOf(relay), timestamp);
}

class SignedModeTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) {
      return;
    }
    trustedDir_ = scratch_.path() / "trusted";
    fs::create_directory(trustedDir_);
    trust(first_, "first.pem");
    serviceEnvironment_["RULES_TRUSTED_KEYS"] = trustedDir_.string();
    signRule_ = [this](const std::string& name, const std::string& text) {
      return signedRule(first_, name, text);
    };
    observer_.connect(broker_->url(), "e2e-observer");
    observer_.subscribe("/tl/bridge/rules/result/#", 1);
    observer_.subscribe("/tl/bridge/configuration/result", 1);
  }

  void trust(const TestSigningKey& key, const std::string& fileName) {
    fs::copy_file(key.publicKeyFile(), trustedDir_ / fileName);
  }

  json nextResult(const std::string& topic) {
    const auto message = observer_.waitMessage(10s);
    if (!message) {
      ADD_FAILURE() << "no result on " << topic;
      return {};
    }
    EXPECT_EQ(message->topic, topic);
    return json::parse(message->payload);
  }

  json ruleResult(const std::string& name, const std::string& payload) {
    publishRule(name, payload);
    return nextResult("/tl/bridge/rules/result/" + name);
  }

  json configurationResult(const std::string& document) {
    configure(document);
    json result = nextResult("/tl/bridge/configuration/result");
    // A new IO structure translates the installed rules again: their
    // results and the second configuration result are passed over.
    if (result.contains("retranslating")) {
      while (const auto message = observer_.waitMessage(10s)) {
        if (message->topic == "/tl/bridge/configuration/result") {
          break;
        }
      }
      result.erase("retranslating");
    }
    return result;
  }

  // Stops the service and starts it again; it opens the rules topic with
  // the IO structure it kept, as the `starts`th time.
  void restart(std::size_t starts) {
    service_->stop(SIGTERM, 5s);
    startService();
    ASSERT_TRUE(eventually([&] {
      return countInBrokerLog("/tl/bridge/rules/add/+ (QoS 0)") == starts;
    })) << broker_->log();
  }

  fs::path trustedDir_;
  TestSigningKey first_;
  TestSigningKey second_;
  testsupport::TestMqttClient observer_;
};

TEST_F(SignedModeTest, OnlyARuleSignedForItsNameWithANewerTimeReplacesTheInstalledOne) {
  startService();
  ASSERT_EQ(configurationResult(signedStructure(first_, "relay_7", 1765090000))["outcome"],
            "accepted");
  const std::string installed =
      signedRule(first_, "lamp", "// 1765090800\nDEVICE_NAME(lamp1) secret-v1\n");
  ASSERT_EQ(ruleResult("lamp", installed)["outcome"], "installed");
  const Files files = ruleFiles();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(readRuleFile(files.front()).rfind("// 1765090800\nrelay_7 secret-v1\n// signature: "
                                              "ed25519 " + first_.id() + " ", 0),
            0u);

  const std::string next = "// 1765090900\nDEVICE_NAME(lamp1) secret-v2\n";
  std::string tampered = signedRule(first_, "lamp", next);
  tampered.replace(tampered.find("secret-v2"), 9, "secret-v3");
  const struct {
    const char* what;
    std::string payload;
    std::string reason;
  } refused[] = {
      {"unsigned", next, "the rule is not signed: its last line is no signature line"},
      {"tampered", tampered,
       "the signature by the key " + first_.id() + " does not match the rule name and text"},
      {"signed for another name", signedRule(first_, "other", next),
       "the signature by the key " + first_.id() + " does not match the rule name and text"},
      {"unknown key", signedRule(second_, "lamp", next),
       "signed by the key " + second_.id() + ", which is not trusted"},
      {"no timestamp line", signedRule(first_, "lamp", "DEVICE_NAME(lamp1) secret-v2\n"),
       "the signed rule has no timestamp line"},
      {"unsigned removal", "", "the rule is not signed: its last line is no signature line"},
  };
  for (const auto& message : refused) {
    EXPECT_EQ(ruleResult("lamp", message.payload),
              (json{{"crc", crc32Of(message.payload)},
                    {"outcome", "rejected"},
                    {"reason", message.reason}}))
        << message.what;
    EXPECT_EQ(ruleFiles(), files) << message.what;
  }
  const json replayed = ruleResult(
      "lamp", signedRule(first_, "lamp", "// 1765090000\nDEVICE_NAME(lamp1) secret-v0\n"));
  EXPECT_EQ(replayed["outcome"], "outdated");
  EXPECT_EQ(ruleFiles(), files);

  // A record names the rule and the key; none quotes a refused text.
  EXPECT_TRUE(waitForTrace("Правило lamp отклонено: подпись не принята (ключ " + second_.id() +
                           "): signed by the key " + second_.id() + ", which is not trusted"));
  EXPECT_EQ(traceLog().find("secret-v2"), std::string::npos);
  EXPECT_EQ(traceLog().find("secret-v3"), std::string::npos);

  const std::string removal =
      talvoro::signing::signRemoval(privateKeyOf(first_), "lamp", 1765091000);
  EXPECT_EQ(ruleResult("lamp", removal), (json{{"crc", crc32Of(removal)}, {"outcome", "cleared"}}));
  EXPECT_EQ(ruleFiles(), Files{});
}

TEST_F(SignedModeTest, KeysRotateByFileAndOnlySignedNewerIoStructuresAreTaken) {
  startService();
  ASSERT_EQ(configurationResult(signedStructure(first_, "relay_7", 1765090000))["outcome"],
            "accepted");
  const std::string bySecond = signedRule(second_, "b", "// 1765090800\nDEVICE_NAME(lamp1)\n");
  EXPECT_EQ(ruleResult("b", bySecond)["outcome"], "rejected");

  // Rotation: the new key is added, both are trusted; the old one removed.
  trust(second_, "second.pem");
  restart(2);
  EXPECT_EQ(ruleResult("b", bySecond)["outcome"], "installed");
  EXPECT_EQ(ruleResult("a", signedRule(first_, "a", "// 1765090800\nA\n"))["outcome"],
            "installed");
  // The kept IO structure must be signed by a key still trusted at the next start.
  EXPECT_EQ(configurationResult(signedStructure(second_, "relay_7", 1765090500))["outcome"],
            "accepted");
  fs::remove(trustedDir_ / "first.pem");
  signRule_ = [this](const std::string& name, const std::string& text) {
    return signedRule(second_, name, text);
  };
  restart(3);
  EXPECT_EQ(ruleResult("a", signedRule(first_, "a", "// 1765090900\nA2\n"))["outcome"],
            "rejected");

  // IO structures: forged, unsigned and older ones are refused, the one in
  // use stays; a newer signed one is taken.
  std::string forged = signedStructure(second_, "relay_9", 1765092000);
  forged.replace(forged.find("relay_9"), 7, "relay_8");
  const struct {
    std::string document;
    std::string reason;
  } refused[] = {
      {forged, "the signature by the key " + second_.id() + " does not match the IO structure"},
      {structureOf("relay_8"),
       "the IO structure is not signed: it does not begin with {\"signature\":"},
      {signedStructure(second_, "relay_8", 1765089000),
       "the IO structure was signed at 1765089000, not later than the one in use (1765090500)"},
  };
  for (const auto& message : refused) {
    EXPECT_EQ(configurationResult(message.document),
              (json{{"outcome", "rejected"}, {"reason", message.reason},
                    {"elements", 1}, {"kept", true}}));
  }
  EXPECT_TRUE(waitForTrace("Конфигурация отклонена: подпись не принята (ключ " + second_.id()));
  EXPECT_EQ(ruleResult("c", signedRule(second_, "c", "// 1765090800\nDEVICE_NAME(lamp1)\n"))
                ["outcome"],
            "installed");
  EXPECT_EQ(configurationResult(signedStructure(second_, "relay_9", 1765092000))["outcome"],
            "accepted");
  ASSERT_EQ(ruleResult("c", signedRule(second_, "c", "// 1765090900\nDEVICE_NAME(lamp1)\n"))
                ["outcome"],
            "installed");
  const Files files = ruleFiles();
  const auto c = std::find_if(files.begin(), files.end(),
                              [](const std::string& f) { return f.rfind("c-__", 0) == 0; });
  ASSERT_NE(c, files.end());
  EXPECT_EQ(readRuleFile(*c).rfind("// 1765090900\nrelay_9\n// signature: ed25519 ", 0), 0u);
}

TEST_F(SignedModeTest, KeysThatCannotBeUsedStopTheStartWithStatus2NamingTheFile) {
  std::ofstream(scratch_.path() / "malformed.pem") << "-----BEGIN PUBLIC KEY-----\nAAAA\n";
  fs::create_directory(scratch_.path() / "empty");
  fs::create_directory(scratch_.path() / "bad");
  fs::copy_file(scratch_.path() / "malformed.pem", scratch_.path() / "bad" / "malformed.pem");
  const std::string cases[] = {(scratch_.path() / "missing").string(),
                               (scratch_.path() / "empty").string(),
                               (scratch_.path() / "bad").string()};
  const std::string named[] = {cases[0], cases[1], cases[2] + "/malformed.pem"};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    ServiceProcess service(broker_->url(), rulesDir_, logsDir_, workDir_,
                           RULES_PREPROCESSOR_BINARY, {{"RULES_TRUSTED_KEYS", cases[i]}});
    const std::optional<int> status = service.waitExit(10s);
    ASSERT_TRUE(status && WIFEXITED(*status)) << cases[i];
    EXPECT_EQ(WEXITSTATUS(*status), 2) << cases[i];
    EXPECT_NE(readAll(workDir_ / kStandardErrorFile).find(named[i]), std::string::npos)
        << readAll(workDir_ / kStandardErrorFile);
  }
}

// Unset, the mode changes nothing: a signature is a comment like any other,
// and a signed removal clears, so that one deployment serves both modes.
TEST_F(ServiceTest, WithoutTrustedKeysSignaturesAreNeitherRequiredNorChecked) {
  const TestSigningKey key;
  startConfigured(signedStructure(key, "relay_7", 1765090000));
  publishRule("plain", "DEVICE_NAME(lamp1)");
  std::string forged = signedRule(key, "signed", "// 1765090800\nDEVICE_NAME(lamp1)\n");
  forged.replace(forged.find("1765090800"), 10, "1765090801");
  publishRule("signed", forged);
  sync();
  EXPECT_EQ(takeStatuses().size(), 2u);
  EXPECT_EQ(ruleFiles().size(), 2u);
  publishRule("signed", talvoro::signing::signRemoval(privateKeyOf(key), "signed", 1765091000));
  sync();
  EXPECT_EQ(ruleFiles(), Files{installedName("plain", "relay_7")});
  EXPECT_TRUE(waitForTrace("Подписи не требуются и не проверяются (RULES_TRUSTED_KEYS не задан)"));
}

}  // namespace
}  // namespace e2e
