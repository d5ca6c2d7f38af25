#pragma once
// The service's current IO structure and its intake: the nesting check, the
// parse, the payload hash, the one-time opening of the rules topic, and
// whether the structure in use is kept for the next start.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "publication.h"
#include "talvoro/io_structure.h"
#include "talvoro/signing/keys.h"

namespace talvoro {

// The IO structure of a configuration text. Throws, with a message that
// quotes at most an excerpt of the text, when it is not one, or when arrays
// and objects nest deeper than the IO structure ever needs.
IoStructure parseConfiguration(std::string_view text, TemplateCacheCleanupGuard& guard);

// The name of the IO structure of configuration `text` in the state store
// and the inventory: a hash of the text, 16 hexadecimal digits.
std::string structureHashOf(std::string_view text);

// Owns the IO structure that rules are translated against. Rules are
// listened to only from the first accepted configuration on, so that every
// rule meets an IO structure.
class Configuration {
 public:
  enum class Intake { Accepted, Unchanged };
  using OpenRulesTopic = std::function<void()>;
  using Keep = std::function<void(std::string_view)>;

  // `keep` is given the text of every configuration accepted by receive(),
  // to keep it for the next start, and again with the same text until it
  // succeeds; what it throws costs an error record.
  // With `trusted` keys (signed mode; they must outlive this) a text is taken
  // only with a valid signature by one of them, made later than the one of
  // the IO structure in use, so that an older one replayed is refused too.
  explicit Configuration(Keep keep = {}, const signing::TrustedKeys* trusted = nullptr);

  // Takes over the IO structure of `text` unless `text` is the configuration
  // accepted last. Before the first one is taken over, `openRulesTopic` is
  // called. Throws when `text` is no IO structure, signing::SignatureRejected
  // in signed mode, or what `openRulesTopic` throws; the structure, its hash
  // and the rules topic are then as before.
  Intake take(std::string_view text, const OpenRulesTopic& openRulesTopic);

  // take() for the text kept at the last run, which is kept already.
  void restore(std::string_view text, const OpenRulesTopic& openRulesTopic);

  // take() for a received message: the outcome goes to the trace log when it
  // is a failure, and to the publisher as the returned result, which also
  // says whether the IO structure in use is kept for the next start.
  Publication receive(const std::vector<char>& payload, const OpenRulesTopic& openRulesTopic);

  const IoStructure& structure() const { return m_configuration; }
  // True from the first accepted configuration on.
  bool configured() const { return !need_rules_subscription; }
  // Whether the IO structure in use is kept for the next start.
  bool kept() const { return kept_; }
  // structureHashOf() the text in use; empty before the first.
  std::string structureHash() const;
  // The result of the last accepted configuration, as receive() published
  // it, with `fields` added: what a second result says once the rules are
  // translated again.
  Publication resultWith(const nlohmann::json& fields) const;

 private:
  bool keep(std::string_view text) const;
  long long checkSignature(std::string_view text) const;

  Keep keep_;
  const signing::TrustedKeys* trusted_;
  long long signedAt_ = 0;  // of the IO structure in use, in signed mode
  bool kept_ = false;
  IoStructure m_configuration;
  std::size_t m_structure_hash = 0;
  bool need_rules_subscription = true;
};

}  // namespace talvoro
