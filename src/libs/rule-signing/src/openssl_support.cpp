#include "openssl_support.h"

#include <fmt/format.h>
#include <openssl/err.h>
#include <openssl/x509.h>

#include <stdexcept>

namespace talvoro::signing {
namespace detail {

void KeyDeleter::operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }

std::string takeOpenSslError() {
  const unsigned long code = ERR_peek_last_error();
  const char* reason = code == 0 ? nullptr : ERR_reason_error_string(code);
  std::string text = reason != nullptr ? reason : "unknown error";
  ERR_clear_error();
  return text;
}

Digest taggedDigest(std::initializer_list<std::string_view> fields,
                    std::initializer_list<std::string_view> body) {
  DigestContextHandle context(EVP_MD_CTX_new());
  bool done = context && EVP_DigestInit_ex(context.get(), EVP_sha512(), nullptr) == 1;
  for (const std::string_view field : fields) {
    done = done && EVP_DigestUpdate(context.get(), field.data(), field.size()) == 1 &&
           EVP_DigestUpdate(context.get(), "", 1) == 1;
  }
  for (const std::string_view piece : body) {
    done = done && EVP_DigestUpdate(context.get(), piece.data(), piece.size()) == 1;
  }
  Digest digest{};
  unsigned int length = 0;
  if (!done || EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 ||
      length != digest.size()) {
    throw std::runtime_error("signing: SHA-512 failed: " + takeOpenSslError());
  }
  return digest;
}

std::string keyIdOf(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(key, &der);
  if (length <= 0) {
    throw std::runtime_error("signing: cannot encode a public key: " + takeOpenSslError());
  }
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int hashLength = 0;
  const int hashed = EVP_Digest(der, static_cast<std::size_t>(length), hash, &hashLength,
                                EVP_sha256(), nullptr);
  OPENSSL_free(der);
  if (hashed != 1) {
    throw std::runtime_error("signing: SHA-256 failed: " + takeOpenSslError());
  }
  std::string id;
  for (std::size_t i = 0; i < kKeyIdLength / 2; ++i) {
    id += fmt::format("{:02x}", hash[i]);
  }
  return id;
}

}  // namespace detail

}  // namespace talvoro::signing
