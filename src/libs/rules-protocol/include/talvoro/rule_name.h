#pragma once
// Which rule names the service installs, and the topics that carry them:
// one rule per topic level, one file per rule named after it.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace talvoro::protocol {

// The longest file name the file system takes, and so the longest rule name
// whose file name "<name>-__<hash>__.js" fits with the longest hash of all.
// The hash of a 64-bit controller sets the bound on 32-bit ones too, so that
// a rule name valid on one controller is valid on every one.
inline constexpr std::size_t kMaxFileNameLength = 255;
inline constexpr std::size_t kMaxHashDigits = std::numeric_limits<std::uint64_t>::digits10 + 1;
inline constexpr std::size_t kMaxRuleNameLength =
    kMaxFileNameLength - 3 /* "-__" */ - kMaxHashDigits - 5 /* "__.js" */;

// A name that can never be a rule's; what() says why ("the rule name ...").
class BadRuleName : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws BadRuleName unless `name` can be both one topic level that a broker
// passes on and the start of a file name that the rule engine loads, for
// every text the rule may carry (a name that installs for some texts and not
// for others would be a trap): not empty, at most kMaxRuleNameLength bytes,
// no leading dot (a hidden file; "." and ".." are none at all), no '/', '+',
// '#', and UTF-8 as MQTT brokers take it in a topic: well-formed, without
// NUL, control characters or non-characters.
void checkRuleName(std::string_view name);

// "/tl/bridge/rules/add/<name>", and the topics of its answers.
std::string ruleTopic(std::string_view name);
std::string statusTopic(std::string_view name);
std::string resultTopic(std::string_view name);

// The rule name of a rule topic: what follows the rules topic prefix (empty
// for any other topic).
std::string ruleNameOfTopic(std::string_view topic);

}  // namespace talvoro::protocol
