// Signed rule texts, removals and IO structures: what the service takes in
// signed mode, what it refuses and why, and that the formats are the
// documented ones (a signature made with the openssl command is taken).

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "talvoro/io_structure.h"
#include "talvoro/signing/formats.h"
#include "talvoro/signing/signatures.h"
#include "testsupport/mosquitto_broker.h"
#include "testsupport/temp_dir.h"
#include "testsupport/test_signing_keys.h"

namespace talvoro::signing {
namespace {

namespace fs = std::filesystem;

const std::string kRule =
    "// 1765090800\n"
    "defineRule(\"kitchen\", { whenChanged: \"DEVICE_NAME(lamp1)/K1\", then: function () {} });\n";

std::string slurp(const std::string& path) {
  std::ostringstream content;
  content << std::ifstream(path, std::ios::binary).rdbuf();
  return content.str();
}

TrustedKeys trustedOnly(PublicKey key) {
  std::vector<PublicKey> keys;
  keys.push_back(std::move(key));
  return TrustedKeys::of(std::move(keys));
}

class Signatures : public ::testing::Test {
 protected:
  Signatures()
      : signer_(PrivateKey::fromFile(key_.privateKeyFile())),
        trusted_(trustedOnly(PublicKey::fromFile(key_.publicKeyFile()))) {}

  // The reason and key id with which `check` is rejected; "accepted" when it is not.
  template <typename Check>
  std::pair<std::string, std::string> rejection(Check check) {
    try {
      check();
    } catch (const SignatureRejected& error) {
      return {error.what(), error.keyId()};
    }
    return {"accepted", {}};
  }
  std::pair<std::string, std::string> ruleRejection(const std::string& name,
                                                    const std::string& text) {
    return rejection([&] { checkRule(trusted_, name, text); });
  }

  testsupport::TestSigningKey key_;
  PrivateKey signer_;
  TrustedKeys trusted_;
};

TEST_F(Signatures, ASignedRuleIsTheTextAndOneSignatureLineAndIsTaken) {
  const std::string signedText = signRule(signer_, "kitchen", kRule);

  ASSERT_EQ(signedText.compare(0, kRule.size(), kRule), 0);
  const std::string line = signedText.substr(kRule.size());
  EXPECT_EQ(line.rfind("// signature: ed25519 " + key_.id() + " ", 0), 0u) << line;
  EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line, ending the text";
  const CheckedRule checked = checkRule(trusted_, "kitchen", signedText);
  EXPECT_EQ(checked.keyId, key_.id());
  EXPECT_EQ(checked.timestamp, 1765090800);
  EXPECT_FALSE(checked.removal);

  // Signing again replaces the line; a text without a last line feed gets
  // one before the signature line.
  EXPECT_EQ(signRule(signer_, "kitchen", signedText), signedText);
  const std::string unterminated = kRule.substr(0, kRule.size() - 1);
  EXPECT_EQ(signRule(signer_, "kitchen", unterminated), signedText);
  // Without the line feed after it, and with blanks and a CRLF, the line still reads.
  EXPECT_EQ(ruleRejection("kitchen", signedText.substr(0, signedText.size() - 1)).first,
            "accepted");
  const std::string base64 = line.substr(line.rfind(' ') + 1, 88);
  EXPECT_EQ(ruleRejection("kitchen", kRule + "  //signature:\ted25519  " + key_.id() + " " +
                                         base64 + " \r\n")
                .first,
            "accepted");
}

TEST_F(Signatures, ARuleIsRejectedWhenAnythingItsSignatureCoversChanges) {
  const std::string signedText = signRule(signer_, "kitchen", kRule);
  std::string tampered = signedText;
  tampered[tampered.find("function")] = 'F';
  std::string restamped = signedText;
  restamped.replace(3, 10, "1765090801");

  for (const auto& [name, text] : {std::pair<std::string, std::string>{"kitchen", tampered},
                                   {"kitchen", restamped},
                                   {"hallway", signedText},
                                   {"kitchen", "\n" + signedText},
                                   {"kitchen", signedText + "\n"}}) {
    const auto [reason, keyId] = ruleRejection(name, text);
    if (text == signedText + "\n") {
      EXPECT_EQ(reason, "the rule is not signed: its last line is no signature line");
      continue;
    }
    EXPECT_EQ(reason, "the signature by the key " + key_.id() +
                          " does not match the rule name and text")
        << name << ": " << text;
    EXPECT_EQ(keyId, key_.id());
  }
}

TEST_F(Signatures, UnsignedMalformedUnknownAndUntimedRulesAreRejectedWithTheirReason) {
  testsupport::TestSigningKey stranger;
  const std::string foreign =
      signRule(PrivateKey::fromFile(stranger.privateKeyFile()), "kitchen", kRule);
  const std::string untimed = signRule(signer_, "kitchen", "defineRule(\"x\", {});\n");
  const std::string zeroTime = signRule(signer_, "kitchen", "// 0000000000\nx();\n");
  const std::string line = signRule(signer_, "kitchen", kRule).substr(kRule.size());

  EXPECT_EQ(ruleRejection("kitchen", kRule),
            std::make_pair(std::string("the rule is not signed: its last line is no signature line"),
                           std::string()));
  EXPECT_EQ(ruleRejection("kitchen", "").first,
            "the rule is not signed: its last line is no signature line");
  EXPECT_EQ(ruleRejection("kitchen", foreign),
            std::make_pair("signed by the key " + stranger.id() + ", which is not trusted",
                           stranger.id()));
  EXPECT_EQ(ruleRejection("kitchen", untimed),
            std::make_pair(std::string("the signed rule has no timestamp line"), key_.id()));
  EXPECT_EQ(ruleRejection("kitchen", zeroTime).first, "the signed rule has no timestamp line");

  const std::string base64 = line.substr(line.rfind(' ') + 1, 88);
  for (const auto& [bad, says] : std::initializer_list<std::pair<std::string, std::string>>{
           {"// signature: ed25519 " + key_.id(), "is not \"// signature: ed25519"},
           {"// signature: rsa " + key_.id() + " " + base64, "unsupported signature algorithm \"rsa\""},
           {"// signature: ed25519 " + key_.id().substr(1) + " " + base64, "key id"},
           {"// signature: ed25519 " + key_.id() + " " + base64.substr(1), "base64"},
           {"// signature: ed25519 " + key_.id() + " " + base64.substr(0, 85) + "B==",
            "canonical"}}) {
    const std::string reason = ruleRejection("kitchen", kRule + bad + "\n").first;
    EXPECT_EQ(reason.rfind("the rule's signature line is malformed: ", 0), 0u) << reason;
    EXPECT_NE(reason.find(says), std::string::npos) << reason;
  }
}

TEST_F(Signatures, ASignedRemovalIsTakenForItsNameOnlyAndCarriesItsTime) {
  const std::string removal = signRemoval(signer_, "kitchen", 1765090900);
  EXPECT_EQ(removal.rfind("// remove\n// 1765090900\n// signature: ed25519 ", 0), 0u) << removal;

  const CheckedRule checked = checkRule(trusted_, "kitchen", removal);
  EXPECT_TRUE(checked.removal);
  EXPECT_EQ(checked.timestamp, 1765090900);
  EXPECT_NE(ruleRejection("hallway", removal).first, "accepted");
  // A rule that says "remove" among other lines is a rule.
  EXPECT_FALSE(
      checkRule(trusted_, "kitchen",
                signRule(signer_, "kitchen", "// remove\n// 1765090900\nrunShell(\"x\");\n"))
          .removal);
}

TEST_F(Signatures, ASignedIoStructureStaysTheSameDocumentAndIsTaken) {
  const std::string document = slurp(EXAMPLE_STRUCTURE);
  const std::string signedDocument = signConfiguration(signer_, document, 1765090800);

  EXPECT_EQ(signedDocument.rfind(R"({"signature":"ed25519 )" + key_.id() + " 1765090800 ", 0),
            0u);
  const CheckedConfiguration checked = checkConfiguration(trusted_, signedDocument);
  EXPECT_EQ(checked.keyId, key_.id());
  EXPECT_EQ(checked.timestamp, 1765090800);
  EXPECT_EQ(signConfiguration(signer_, signedDocument, 1765090800), signedDocument);

  // The member is one the IO structure's schema ignores: the same elements.
  TemplateCacheCleanupGuard guard{false};
  const IoStructure plain = parseIoStructureText<IoInfo>(document, guard, false);
  const IoStructure fromSigned = parseIoStructureText<IoInfo>(signedDocument, guard, false);
  ASSERT_EQ(fromSigned.size(), plain.size());
  for (const auto& [key, element] : plain) {
    ASSERT_EQ(fromSigned.count(key), 1u) << key;
    EXPECT_EQ(fromSigned.at(key)->deviceName, element->deviceName);
    EXPECT_EQ(fromSigned.at(key)->getCells(), element->getCells());
  }

  const std::string empty = signConfiguration(signer_, "  {}", 1765090800);
  EXPECT_EQ(empty.back(), '}');
  EXPECT_EQ(nlohmann::json::parse(empty).size(), 1u);
  EXPECT_EQ(checkConfiguration(trusted_, empty).timestamp, 1765090800);
}

TEST_F(Signatures, AnIoStructureIsRejectedUnlessItsFirstMemberIsAValidSignature) {
  const std::string signedDocument =
      signConfiguration(signer_, slurp(EXAMPLE_STRUCTURE), 1765090800);
  const auto rejected = [&](const std::string& document) {
    return rejection([&] { checkConfiguration(trusted_, document); });
  };
  std::string tampered = signedDocument;
  tampered.replace(tampered.find("relay_7"), 7, "relay_8");
  std::string restamped = signedDocument;
  restamped.replace(restamped.find("1765090800"), 10, "1765090801");

  EXPECT_EQ(rejected(tampered),
            std::make_pair("the signature by the key " + key_.id() +
                               " does not match the IO structure",
                           key_.id()));
  EXPECT_EQ(rejected(restamped).second, key_.id());
  EXPECT_EQ(rejected(slurp(EXAMPLE_STRUCTURE)).first,
            R"(the IO structure is not signed: it does not begin with {"signature":)");
  EXPECT_EQ(rejected("{ " + signedDocument.substr(1)).first,
            R"(the IO structure is not signed: it does not begin with {"signature":)");
  std::string doubleBlank = signedDocument;
  doubleBlank.insert(doubleBlank.find(' '), " ");
  EXPECT_NE(rejected(doubleBlank).first.find("signature member is malformed"),
            std::string::npos);
  EXPECT_NE(rejected(R"({"signature":"ed25519 )" + key_.id() + R"( 0123 AAAA"})")
                .first.find("signature member is malformed"),
            std::string::npos);
}

// The formats are public: a publisher without rules-push signs with openssl
// alone, as the documentation shows.
TEST_F(Signatures, SignaturesMadeWithTheOpensslCommandAreTaken) {
  testsupport::TempDir work;
  std::ofstream(work.path() / "kitchen.js", std::ios::binary) << kRule;
  std::ofstream(work.path() / "rest", std::ios::binary) << R"("elements":{"lamp1":{}}})";
  const std::string script =
      "set -e; cd '" + work.path().string() + "'; key='" + key_.privateKeyFile() + "'\n"
      "sign() { openssl dgst -sha512 -binary > digest;"
      " openssl pkeyutl -sign -rawin -inkey \"$key\" -in digest -out signature;"
      " base64 -w0 signature; }\n"
      "s=$({ printf 'rules-preprocessor rule v1\\0%s\\0' kitchen; cat kitchen.js; } | sign)\n"
      "printf '// signature: ed25519 %s %s\\n' " + key_.id() + " \"$s\" >> kitchen.js\n"
      "s=$({ printf 'rules-preprocessor configuration v1\\0%s\\0{' 1765090800; cat rest; } | sign)\n"
      "printf '{\"signature\":\"ed25519 %s 1765090800 %s\",' " + key_.id() +
      " \"$s\" > structure.json; cat rest >> structure.json\n";
  testsupport::runCommand({"sh", "-c", script});

  EXPECT_EQ(checkRule(trusted_, "kitchen", slurp((work.path() / "kitchen.js").string())).keyId,
            key_.id());
  EXPECT_EQ(
      checkConfiguration(trusted_, slurp((work.path() / "structure.json").string())).timestamp,
      1765090800);
}

}  // namespace
}  // namespace talvoro::signing
