#include "configuration.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>
#include <string>

#include "service_trace.h"
#include "talvoro/files/file_write.h"
#include "talvoro/rule_result.h"
#include "talvoro/rules_protocol.h"
#include "talvoro/signing/signatures.h"

namespace talvoro {
namespace {

// The IO structure nests four levels deep; members the service ignores may
// add some, but nothing needs more than this.
constexpr std::size_t kMaxConfigurationDepth = 32;

// Throws when arrays and objects in the JSON text nest deeper than `limit`.
// Counted on the text, before parsing: copying or printing a parsed document
// recurses once per level, and the IO structure never needs many.
void requireNestingWithin(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) {
        throw std::runtime_error(fmt::format(
            "the configuration nests arrays and objects deeper than {} levels", limit));
      }
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
}

// Of a list this long, the result names the first (by name) and counts the rest.
constexpr std::size_t kMaxNamesInWarning = 10;

std::string namesText(std::vector<std::string> names) {
  const std::size_t shown = std::min(names.size(), kMaxNamesInWarning);
  std::partial_sort(names.begin(), names.begin() + shown, names.end());
  std::string text;
  for (std::size_t i = 0; i < shown; ++i) {
    text += (i == 0 ? "" : ", ") + names[i];
  }
  if (names.size() > shown) {
    text += fmt::format(" and {} more", names.size() - shown);
  }
  return text;
}

// What the publisher of a structure should know although it is accepted:
// members that no element schema knows (a typing error such as "dXvice"),
// and elements without a device, whose placeholders resolve to nothing.
std::string structureWarning(const IoStructure& structure) {
  std::vector<std::string> unknown;
  std::vector<std::string> withoutDevice;
  for (const auto& [key, element] : structure) {
    for (const std::string& member : element->unknownMembers) {
      unknown.push_back(fmt::format("elements.{}.{}", key, member));
    }
    if (element->deviceName.empty()) {
      withoutDevice.push_back(key);
    }
  }
  std::string warning;
  if (!unknown.empty()) {
    warning = "members no element schema knows: " + namesText(std::move(unknown));
  }
  if (!withoutDevice.empty()) {
    warning += (warning.empty() ? "" : "; ") +
               ("elements without a device: " + namesText(std::move(withoutDevice)));
  }
  return warning;
}

}  // namespace

// Built while the text is read: no parsed document of the whole text is held
// beside the structure, only one element's part at a time.
IoStructure parseConfiguration(std::string_view text, TemplateCacheCleanupGuard& guard) {
  requireNestingWithin(text, kMaxConfigurationDepth);
  return parseIoStructureText<IoInfo>(text, guard, false);
}

std::string structureHashOf(std::string_view text) {
  return fmt::format("{:016x}", std::hash<std::string_view>{}(text));
}

std::string Configuration::structureHash() const {
  return configured() ? fmt::format("{:016x}", m_structure_hash) : std::string();
}

Publication Configuration::resultWith(const nlohmann::json& fields) const {
  nlohmann::json result = {
      {protocol::kOutcomeField, protocol::outcomeName(protocol::Outcome::Accepted)},
      {protocol::kElementsField, m_configuration.size()},
      {protocol::kKeptField, kept_}};
  result.update(fields);
  return {Publication::Kind::Result, {}, protocol::kConfigurationResultTopic, jsonText(result)};
}

Configuration::Configuration(Keep keep, const signing::TrustedKeys* trusted)
    : keep_(std::move(keep)), trusted_(trusted) {}

// The time `text` was signed at; 0 outside signed mode.
long long Configuration::checkSignature(std::string_view text) const {
  if (trusted_ == nullptr) {
    return 0;
  }
  const signing::CheckedConfiguration checked = signing::checkConfiguration(*trusted_, text);
  if (checked.timestamp <= signedAt_) {
    throw signing::SignatureRejected(
        fmt::format("the IO structure was signed at {}, not later than the one in use ({})",
                    checked.timestamp, signedAt_),
        checked.keyId);
  }
  return checked.timestamp;
}

Configuration::Intake Configuration::take(std::string_view text,
                                          const OpenRulesTopic& openRulesTopic) {
  const std::size_t payloadHash = std::hash<std::string_view>{}(text);
  if (payloadHash == m_structure_hash) {
    return Intake::Unchanged;
  }
  const long long signedAt = checkSignature(text);
  // Declared first so that the cache is emptied and memory trimmed only
  // after the document and the old structure are gone.
  TemplateCacheCleanupGuard guard{true};
  IoStructure structure = parseConfiguration(text, guard);
  // Opened before anything changes, so that a failure leaves the structure,
  // its hash and the subscription state in agreement.
  if (need_rules_subscription) {
    openRulesTopic();
  }
  m_configuration = std::move(structure);
  m_structure_hash = payloadHash;
  signedAt_ = signedAt;
  need_rules_subscription = false;
  return Intake::Accepted;
}

void Configuration::restore(std::string_view text, const OpenRulesTopic& openRulesTopic) {
  take(text, openRulesTopic);
  kept_ = true;
}

// The IO structure in use stays accepted whether or not it could be kept.
bool Configuration::keep(std::string_view text) const {
  try {
    keep_(text);
    return true;
  } catch (const files::NotDurable& error) {
    TRACE_AS(kClientFunction, *P7::getTrace(), Error,
             "Структура ввода-вывода записана, но не сохранена надёжно: синхронизация "
             "каталога %s не удалась: %s; после отключения питания может вернуться прежняя",
             error.path().c_str(), error.reason().c_str());
  } catch (const std::exception& error) {
    TRACE_AS(kClientFunction, *P7::getTrace(), Error,
             "Структура ввода-вывода не сохранена для следующего запуска: %s", error.what());
  }
  return false;
}

Publication Configuration::receive(const std::vector<char>& payload,
                                   const OpenRulesTopic& openRulesTopic) {
  nlohmann::json result;
  const std::string_view text(payload.data(), payload.size());
  try {
    const Intake intake = take(text, openRulesTopic);
    result[protocol::kOutcomeField] = protocol::outcomeName(
        intake == Intake::Accepted ? protocol::Outcome::Accepted : protocol::Outcome::Unchanged);
    // A text that could not be kept is tried again when it comes again.
    if (intake == Intake::Accepted || !kept_) {
      kept_ = keep_ && keep(text);
    }
    if (std::string warning = structureWarning(m_configuration); !warning.empty()) {
      if (intake == Intake::Accepted) {
        TRACE_AS(kClientFunction, *P7::getTrace(), Warning, "Структура ввода-вывода: %s",
                 warning.c_str());
      }
      result[protocol::kWarningField] = std::move(warning);
    }
  } catch (const signing::SignatureRejected& error) {
    TRACE_AS(kClientFunction, *P7::getTrace(), Warning,
             "Конфигурация отклонена: подпись не принята (ключ %s): %s",
             error.keyId().empty() ? "не назван" : error.keyId().c_str(), error.what());
    result[protocol::kOutcomeField] = protocol::outcomeName(protocol::Outcome::Rejected);
    result[protocol::kReasonField] = error.what();
  } catch (const std::exception& error) {
    const std::string reason = excerpt(error.what(), kMaxErrorTextInRecord);
    TRACE_AS(kClientFunction, *P7::getTrace(), Error, "Ошибка обработки конфигурации: %s",
             reason.c_str());
    result[protocol::kOutcomeField] = protocol::outcomeName(protocol::Outcome::Rejected);
    result[protocol::kReasonField] = reason;
  }
  result[protocol::kElementsField] = m_configuration.size();
  result[protocol::kKeptField] = kept_;
  return {Publication::Kind::Result, {}, protocol::kConfigurationResultTopic, jsonText(result)};
}

}  // namespace talvoro
