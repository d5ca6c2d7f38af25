#include "plan_signing.h"

#include <fmt/format.h>

#include <chrono>
#include <stdexcept>

#include "talvoro/signing/signatures.h"
#include "talvoro/timestamp_line.h"

namespace talvoro::push {

long long secondsNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

namespace {

void requireOneMessage(const std::string& text, const std::string& what) {
  if (text.size() > kMaxTextBytes) {
    throw InputError(fmt::format("{}: signed, it is {} bytes, more than one message can carry "
                                 "({} bytes)",
                                 what, text.size(), kMaxTextBytes));
  }
}

}  // namespace

void signDeployment(const std::string& keyFile, long long now, std::vector<RuleFile>& rules,
                    std::string* configuration) {
  std::optional<signing::PrivateKey> key;
  try {
    key.emplace(signing::PrivateKey::fromFile(keyFile));
  } catch (const signing::KeyError& error) {
    throw InputError(fmt::format("--sign-key: {}", error.what()));
  }
  for (RuleFile& rule : rules) {
    if (rule.text.empty()) {
      rule.text = signing::signRemoval(*key, rule.name, now);
      continue;
    }
    if (!protocol::findTimestampLine(rule.text)) {
      throw InputError(fmt::format(
          "rule {}: a signed rule needs a timestamp line (\"// {}\") among its first ten "
          "lines, so that an older signed version cannot be replayed over it",
          rule.name, now));
    }
    try {
      rule.text = signing::signRule(*key, rule.name, rule.text);
    } catch (const std::exception& error) {
      throw InputError(fmt::format("rule {}: cannot be signed: {}", rule.name, error.what()));
    }
    requireOneMessage(rule.text, "rule " + rule.name);
  }
  if (configuration) {
    try {
      *configuration = signing::signConfiguration(*key, *configuration, now);
    } catch (const std::exception& error) {
      throw InputError(fmt::format("the configuration cannot be signed: {}", error.what()));
    }
    requireOneMessage(*configuration, "the configuration");
  }
}

}  // namespace talvoro::push
