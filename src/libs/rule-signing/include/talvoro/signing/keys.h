#pragma once
// Ed25519 keys as PEM files: the public keys a controller trusts (a directory
// of them), the private key a publisher signs with, and the key id that a
// signature names its key by. Every failure names the file and the reason.

#include <array>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;

namespace talvoro::signing {

// A key file or key directory that cannot be used; what() names it and why.
class KeyError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a signature is made over: a SHA-512 digest of a tagged message.
using Digest = std::array<unsigned char, 64>;
inline constexpr std::size_t kSignatureSize = 64;
// A key id: the first 16 hex digits (64 bits) of the SHA-256 of the public
// key's DER encoding, as `openssl pkey -pubin -outform DER` writes it.
inline constexpr std::size_t kKeyIdLength = 16;

namespace detail {
struct KeyDeleter {
  void operator()(EVP_PKEY* key) const;
};
using KeyHandle = std::unique_ptr<EVP_PKEY, KeyDeleter>;
}  // namespace detail

// An Ed25519 public key, as `openssl pkey -pubout` writes it.
class PublicKey {
 public:
  // Throws KeyError naming `source` unless `pem` holds one Ed25519 public key.
  static PublicKey fromPem(std::string_view pem, const std::string& source);
  // Throws KeyError naming `path` when it is no readable regular file of
  // reasonable size, or holds no Ed25519 public key.
  static PublicKey fromFile(const std::string& path);

  const std::string& id() const { return id_; }
  // The file or text it was read from.
  const std::string& source() const { return source_; }
  // True when `signature` (raw, kSignatureSize bytes) is this key's over `digest`.
  bool verifies(const Digest& digest, std::string_view signature) const;

 private:
  PublicKey(detail::KeyHandle key, std::string source);

  detail::KeyHandle key_;
  std::string id_;
  std::string source_;
};

// An Ed25519 private key, as `openssl genpkey -algorithm ed25519` writes it
// (unencrypted PEM).
class PrivateKey {
 public:
  static PrivateKey fromPem(std::string_view pem, const std::string& source);
  static PrivateKey fromFile(const std::string& path);

  // The id of its public key.
  const std::string& id() const { return id_; }
  // The signature over `digest`, kSignatureSize raw bytes.
  std::string sign(const Digest& digest) const;

 private:
  explicit PrivateKey(detail::KeyHandle key);

  detail::KeyHandle key_;
  std::string id_;
};

// The public keys a controller trusts: every "*.pem" file of one directory.
// Several keys let an operator rotate: add the new key's file, move the
// publishers to it, then remove the old one.
class TrustedKeys {
 public:
  // Throws KeyError naming the directory when it cannot be read or holds no
  // "*.pem" file, and naming the file when one cannot be read or holds no
  // Ed25519 public key. The same key in two files counts once.
  static TrustedKeys fromDirectory(const std::string& directory);
  static TrustedKeys of(std::vector<PublicKey> keys);

  // The key of that id, nullptr when none is trusted.
  const PublicKey* find(std::string_view keyId) const;
  const std::vector<PublicKey>& keys() const { return keys_; }

 private:
  std::vector<PublicKey> keys_;  // sorted by id
};

}  // namespace talvoro::signing
