#include "talvoro/signing/keys.h"

#include <fmt/format.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "openssl_support.h"

namespace talvoro::signing {
namespace {

// A PEM public key is about 110 bytes; a file much larger is no key file,
// and is not read.
constexpr off_t kMaxKeyFileSize = 64 * 1024;

// Throws KeyError naming `source` unless `key` is an Ed25519 key.
void requireEd25519(EVP_PKEY* key, const std::string& source) {
  if (EVP_PKEY_is_a(key, "ED25519") != 1) {
    const char* type = EVP_PKEY_get0_type_name(key);
    throw KeyError(fmt::format("signing: {} holds a {} key, not an Ed25519 one", source,
                               type != nullptr ? type : "unknown"));
  }
}

// Refuses what is no regular key file before anything opens it: a FIFO would
// block the open, a device or a huge file the read.
void requireKeyFile(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    throw KeyError(fmt::format("signing: cannot read the key file {}: {}", path,
                               std::strerror(errno)));
  }
  if (!S_ISREG(status.st_mode)) {
    throw KeyError(fmt::format("signing: the key file {} is not a regular file", path));
  }
  if (status.st_size > kMaxKeyFileSize) {
    throw KeyError(fmt::format("signing: the key file {} is too large for a key ({} bytes)",
                               path, status.st_size));
  }
}

detail::BioHandle openFile(const std::string& path) {
  requireKeyFile(path);
  errno = 0;
  detail::BioHandle bio(BIO_new_file(path.c_str(), "r"));
  if (!bio) {
    const int error = errno;
    ERR_clear_error();
    throw KeyError(fmt::format("signing: cannot read the key file {}: {}", path,
                               error != 0 ? std::strerror(error) : "cannot open"));
  }
  return bio;
}

detail::BioHandle memoryOf(std::string_view pem) {
  detail::BioHandle bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) {
    throw std::runtime_error("signing: out of memory");
  }
  return bio;
}

// Called when the key is encrypted: no passphrase is asked for, the read fails.
int refusePassphrase(char*, int, int, void* asked) {
  *static_cast<bool*>(asked) = true;
  return -1;
}

detail::KeyHandle readPublicKey(BIO* bio, const std::string& source) {
  detail::KeyHandle key(PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr));
  if (!key) {
    const std::string reason = detail::takeOpenSslError();
    bool encrypted = false;
    // A private key where the public one belongs: the operator's mistake
    // most likely, and one worth naming (the private key must not be here).
    if (BIO_reset(bio) == 0 &&
        detail::KeyHandle(PEM_read_bio_PrivateKey(bio, nullptr, refusePassphrase, &encrypted))) {
      throw KeyError(fmt::format(
          "signing: {} holds a private key; install its public key (openssl pkey -pubout)",
          source));
    }
    ERR_clear_error();
    throw KeyError(
        fmt::format("signing: {} holds no public key in PEM ({})", source, reason));
  }
  requireEd25519(key.get(), source);
  return key;
}

detail::KeyHandle readPrivateKey(BIO* bio, const std::string& source) {
  bool encrypted = false;
  detail::KeyHandle key(PEM_read_bio_PrivateKey(bio, nullptr, refusePassphrase, &encrypted));
  if (!key) {
    const std::string reason = detail::takeOpenSslError();
    if (encrypted) {
      throw KeyError(fmt::format(
          "signing: {} holds an encrypted private key; give an unencrypted one", source));
    }
    throw KeyError(
        fmt::format("signing: {} holds no private key in PEM ({})", source, reason));
  }
  requireEd25519(key.get(), source);
  return key;
}

bool isKeyFileName(const std::string& name) {
  const std::string_view suffix = ".pem";
  return name.size() > suffix.size() && name.front() != '.' &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::vector<std::string> keyFilesIn(const std::string& directory) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (!fs::is_directory(directory, error)) {
    throw KeyError(fmt::format("signing: the key directory {} {}", directory,
                               error ? "cannot be read: " + error.message()
                                     : std::string("is not a directory")));
  }
  std::vector<std::string> files;
  for (fs::directory_iterator entry(directory, error), end; !error && entry != end;
       entry.increment(error)) {
    if (isKeyFileName(entry->path().filename().string())) {
      files.push_back(entry->path().string());
    }
  }
  if (error) {
    throw KeyError(fmt::format("signing: the key directory {} cannot be read: {}", directory,
                               error.message()));
  }
  if (files.empty()) {
    throw KeyError(fmt::format("signing: the key directory {} holds no key (*.pem)", directory));
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

PublicKey::PublicKey(detail::KeyHandle key, std::string source)
    : key_(std::move(key)), id_(detail::keyIdOf(key_.get())), source_(std::move(source)) {}

PublicKey PublicKey::fromPem(std::string_view pem, const std::string& source) {
  return PublicKey(readPublicKey(memoryOf(pem).get(), source), source);
}

PublicKey PublicKey::fromFile(const std::string& path) {
  return PublicKey(readPublicKey(openFile(path).get(), path), path);
}

bool PublicKey::verifies(const Digest& digest, std::string_view signature) const {
  if (signature.size() != kSignatureSize) {
    return false;
  }
  detail::DigestContextHandle context(EVP_MD_CTX_new());
  const bool valid =
      context &&
      EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key_.get()) == 1 &&
      EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                       signature.size(), digest.data(), digest.size()) == 1;
  if (!valid) {
    ERR_clear_error();
  }
  return valid;
}

PrivateKey::PrivateKey(detail::KeyHandle key)
    : key_(std::move(key)), id_(detail::keyIdOf(key_.get())) {}

PrivateKey PrivateKey::fromPem(std::string_view pem, const std::string& source) {
  return PrivateKey(readPrivateKey(memoryOf(pem).get(), source));
}

PrivateKey PrivateKey::fromFile(const std::string& path) {
  return PrivateKey(readPrivateKey(openFile(path).get(), path));
}

std::string PrivateKey::sign(const Digest& digest) const {
  std::string signature(kSignatureSize, '\0');
  std::size_t length = signature.size();
  detail::DigestContextHandle context(EVP_MD_CTX_new());
  if (!context ||
      EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get()) != 1 ||
      EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                     digest.data(), digest.size()) != 1 ||
      length != kSignatureSize) {
    throw std::runtime_error("signing: Ed25519 signing failed: " + detail::takeOpenSslError());
  }
  return signature;
}

TrustedKeys TrustedKeys::fromDirectory(const std::string& directory) {
  std::vector<PublicKey> keys;
  for (const std::string& file : keyFilesIn(directory)) {
    keys.push_back(PublicKey::fromFile(file));
  }
  return of(std::move(keys));
}

TrustedKeys TrustedKeys::of(std::vector<PublicKey> keys) {
  std::stable_sort(keys.begin(), keys.end(),
                   [](const PublicKey& a, const PublicKey& b) { return a.id() < b.id(); });
  TrustedKeys trusted;
  for (PublicKey& key : keys) {
    if (!trusted.keys_.empty() && trusted.keys_.back().id() == key.id()) {
      // The same key twice (a copy left during a rotation): harmless. Two
      // keys of one id would take a 64-bit collision.
      continue;
    }
    trusted.keys_.push_back(std::move(key));
  }
  return trusted;
}

const PublicKey* TrustedKeys::find(std::string_view keyId) const {
  const auto found = std::lower_bound(
      keys_.begin(), keys_.end(), keyId,
      [](const PublicKey& key, std::string_view id) { return key.id() < id; });
  return found != keys_.end() && found->id() == keyId ? &*found : nullptr;
}

}  // namespace talvoro::signing
