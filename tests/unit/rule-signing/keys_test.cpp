// Key files as operators make them with openssl: the trusted directory, the
// signing key, the key ids, and every way a key file can be unusable.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "talvoro/signing/keys.h"
#include "testsupport/mosquitto_broker.h"
#include "testsupport/temp_dir.h"
#include "testsupport/test_signing_keys.h"

namespace talvoro::signing {
namespace {

namespace fs = std::filesystem;

// The message of the KeyError that `load` throws, empty when it throws none.
template <typename Load>
std::string keyErrorOf(Load load) {
  try {
    load();
  } catch (const KeyError& error) {
    return error.what();
  }
  return {};
}

class KeyFiles : public ::testing::Test {
 protected:
  std::string place(const std::string& name, const std::string& from) {
    const fs::path to = dir_.path() / name;
    fs::copy_file(from, to);
    return to.string();
  }
  std::string write(const std::string& name, const std::string& content) {
    const fs::path to = dir_.path() / name;
    std::ofstream(to) << content;
    return to.string();
  }
  std::string directory() const { return dir_.path().string(); }

  testsupport::TempDir dir_;
};

TEST_F(KeyFiles, EveryPemFileOfTheDirectoryIsTrustedUnderItsFingerprint) {
  testsupport::TestSigningKey first;
  testsupport::TestSigningKey second;
  place("first.pem", first.publicKeyFile());
  place("second.pem", second.publicKeyFile());
  place("copy-of-first.pem", first.publicKeyFile());
  write("README", "not a key, and not read");
  write(".hidden.pem", "not read either");

  const TrustedKeys keys = TrustedKeys::fromDirectory(directory());

  EXPECT_EQ(keys.keys().size(), 2u);
  ASSERT_NE(keys.find(first.id()), nullptr);
  ASSERT_NE(keys.find(second.id()), nullptr);
  EXPECT_EQ(keys.find(first.id())->id(), first.id());
  EXPECT_EQ(keys.find("0123456789abcdef"), nullptr);
  EXPECT_EQ(PrivateKey::fromFile(first.privateKeyFile()).id(), first.id());
}

TEST_F(KeyFiles, ADirectoryThatCannotServeIsRefusedNamingItself) {
  EXPECT_NE(keyErrorOf([&] { TrustedKeys::fromDirectory(directory() + "/missing"); })
                .find(directory() + "/missing"),
            std::string::npos);
  write("README", "no key here");
  const std::string empty = keyErrorOf([&] { TrustedKeys::fromDirectory(directory()); });
  EXPECT_NE(empty.find(directory()), std::string::npos) << empty;
  EXPECT_NE(empty.find("holds no key"), std::string::npos) << empty;
  const std::string notDirectory =
      keyErrorOf([&] { TrustedKeys::fromDirectory(directory() + "/README"); });
  EXPECT_NE(notDirectory.find("is not a directory"), std::string::npos) << notDirectory;
}

TEST_F(KeyFiles, AKeyFileThatCannotServeIsRefusedNamingTheFile) {
  testsupport::TestSigningKey key;
  testsupport::runCommand({"openssl", "genpkey", "-algorithm", "EC", "-pkeyopt",
                           "ec_paramgen_curve:prime256v1", "-out",
                           directory() + "/ec-private.key"});
  testsupport::runCommand({"openssl", "pkey", "-in", directory() + "/ec-private.key", "-pubout",
                           "-out", directory() + "/ec-public.key"});
  struct Case {
    std::string file;
    std::string says;
  };
  const Case cases[] = {
      {write("garbage.pem", "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n"),
       "holds no public key"},
      {write("empty.pem", ""), "holds no public key"},
      {place("private.pem", key.privateKeyFile()), "holds a private key"},
      {place("ec.pem", directory() + "/ec-public.key"), "not an Ed25519 one"},
      {write("huge.pem", std::string(100 * 1024, 'A')), "too large"},
  };
  for (const Case& bad : cases) {
    testsupport::TempDir trusted;
    fs::copy_file(bad.file, trusted.path() / "bad.pem");
    fs::copy_file(key.publicKeyFile(), trusted.path() / "good.pem");
    const std::string message =
        keyErrorOf([&] { TrustedKeys::fromDirectory(trusted.path().string()); });
    EXPECT_NE(message.find((trusted.path() / "bad.pem").string()), std::string::npos)
        << bad.file << ": " << message;
    EXPECT_NE(message.find(bad.says), std::string::npos) << bad.file << ": " << message;
  }

  testsupport::TempDir odd;
  fs::create_directory(odd.path() / "directory.pem");
  EXPECT_NE(keyErrorOf([&] { TrustedKeys::fromDirectory(odd.path().string()); })
                .find("directory.pem is not a regular file"),
            std::string::npos);
  fs::create_symlink(odd.path() / "gone", odd.path() / "dangling.pem");
  EXPECT_NE(keyErrorOf([&] { TrustedKeys::fromDirectory(odd.path().string()); })
                .find("dangling.pem: No such file or directory"),
            std::string::npos);
  fs::remove(odd.path() / "dangling.pem");
  // A FIFO would block whoever opens it.
  fs::remove(odd.path() / "directory.pem");
  ASSERT_EQ(::mkfifo((odd.path() / "fifo.pem").c_str(), 0600), 0);
  EXPECT_NE(keyErrorOf([&] { TrustedKeys::fromDirectory(odd.path().string()); })
                .find("fifo.pem is not a regular file"),
            std::string::npos);
}

TEST_F(KeyFiles, AnUnreadableKeyFileIsRefusedWithTheSystemsReason) {
  if (::geteuid() == 0) {
    GTEST_SKIP() << "root reads files whatever their mode";
  }
  testsupport::TestSigningKey key;
  const std::string file = place("key.pem", key.publicKeyFile());
  fs::permissions(file, fs::perms::none);
  const std::string message = keyErrorOf([&] { TrustedKeys::fromDirectory(directory()); });
  EXPECT_NE(message.find(file + ": Permission denied"), std::string::npos) << message;
}

TEST_F(KeyFiles, ASigningKeyMustBeAnUnencryptedEd25519PrivateKey) {
  testsupport::TestSigningKey key;
  const std::string encrypted = directory() + "/encrypted.pem";
  testsupport::runCommand({"openssl", "genpkey", "-algorithm", "ed25519", "-aes-256-cbc",
                           "-pass", "pass:secret", "-out", encrypted});
  struct Case {
    std::string file;
    std::string says;
  };
  const Case cases[] = {
      {directory() + "/missing.pem", "No such file or directory"},
      {key.publicKeyFile(), "holds no private key"},
      {encrypted, "encrypted"},
  };
  for (const Case& bad : cases) {
    const std::string message = keyErrorOf([&] { PrivateKey::fromFile(bad.file); });
    EXPECT_NE(message.find(bad.file), std::string::npos) << message;
    EXPECT_NE(message.find(bad.says), std::string::npos) << message;
  }
}

}  // namespace
}  // namespace talvoro::signing
