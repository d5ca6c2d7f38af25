#pragma once
// Owners of OpenSSL's objects, the error text of its error queue, and the
// digests that signatures are made over.

#include <openssl/bio.h>
#include <openssl/evp.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "talvoro/signing/keys.h"

namespace talvoro::signing::detail {

struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioHandle = std::unique_ptr<BIO, BioDeleter>;

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContextHandle = std::unique_ptr<EVP_MD_CTX, DigestContextDeleter>;

// The reason OpenSSL gives for its last failure, and the queue emptied, so
// that a later failure is not explained by an earlier one.
std::string takeOpenSslError();

// The SHA-512 of the fields, each followed by a NUL byte, and then of the
// body's pieces one after the other. No field holds a NUL, so the framing is
// unambiguous; nothing is copied, whatever the size of the body.
Digest taggedDigest(std::initializer_list<std::string_view> fields,
                    std::initializer_list<std::string_view> body);

// The key id of a public or private key: of its public part.
std::string keyIdOf(EVP_PKEY* key);

}  // namespace talvoro::signing::detail
