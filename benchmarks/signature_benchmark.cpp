// What signed mode costs per message: checking a rule's signature (the
// signature line read, the text hashed, one Ed25519 verification) by the
// size of the rule, and an IO structure's of 100,000 elements. Signing, what
// rules-push does per rule, for comparison. The keys are made here.

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <benchmark/benchmark.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "large_io_structure.h"
#include "talvoro/signing/signatures.h"

namespace {

using namespace talvoro::signing;

struct KeyPair {
  PrivateKey privateKey;
  TrustedKeys trusted;
};

std::string pemOf(EVP_PKEY* key, bool publicOnly) {
  BIO* bio = BIO_new(BIO_s_mem());
  const int written = publicOnly
                          ? PEM_write_bio_PUBKEY(bio, key)
                          : PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  std::string pem(data, written == 1 && length > 0 ? static_cast<std::size_t>(length) : 0);
  BIO_free(bio);
  if (pem.empty()) {
    throw std::runtime_error("cannot write a PEM key");
  }
  return pem;
}

const KeyPair& keys() {
  static const KeyPair pair = [] {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    std::vector<PublicKey> trusted;
    trusted.push_back(PublicKey::fromPem(pemOf(key, true), "generated"));
    KeyPair made{PrivateKey::fromPem(pemOf(key, false), "generated"),
                 TrustedKeys::of(std::move(trusted))};
    EVP_PKEY_free(key);
    return made;
  }();
  return pair;
}

// A rule of about `size` bytes: a timestamp line and lines of code.
std::string ruleOfSize(std::size_t size) {
  std::string text = "// 1765090800\n";
  const std::string line =
      "defineRule(\"r\", { whenChanged: \"DEVICE_NAME(lamp1)/K1\", then: function () {} });\n";
  while (text.size() + line.size() <= size) {
    text += line;
  }
  return text;
}

void BM_CheckRule(benchmark::State& state) {
  const std::string text =
      signRule(keys().privateKey, "kitchen", ruleOfSize(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) {
    benchmark::DoNotOptimize(checkRule(keys().trusted, "kitchen", text));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CheckRule)->Arg(300)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20);

void BM_SignRule(benchmark::State& state) {
  const std::string text = ruleOfSize(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(signRule(keys().privateKey, "kitchen", text));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SignRule)->Arg(300)->Arg(4 << 10);

void BM_CheckConfiguration(benchmark::State& state) {
  const std::string document =
      signConfiguration(keys().privateKey, makeLargeIoStructure(100000), 1765090800);
  for (auto _ : state) {
    benchmark::DoNotOptimize(checkConfiguration(keys().trusted, document));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * document.size()));
  state.counters["document_bytes"] = static_cast<double>(document.size());
}
BENCHMARK(BM_CheckConfiguration)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
