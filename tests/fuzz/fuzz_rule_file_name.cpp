// Rule names and the rule directory's file names: for any rule name (one
// topic level) and any directory entry, a name that cannot make a visible file
// name for every hash is refused; an accepted name's file names
// fit the file system, its aside name leads back to it and is never taken
// for a rule file or a temporary file; an entry is taken for the rule's
// installed file exactly when it is that file's name.
//
// Input: the rule name, '/', the directory entry.

#include "rule_names.h"
#include "talvoro/rule_name.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

bool accepted(const std::string& name) {
  try {
    talvoro::protocol::checkRuleName(name);
    return true;
  } catch (const talvoro::protocol::BadRuleName&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t slash = std::min(input.find('/'), input.size());
  const std::string name = input.substr(0, slash);
  const std::string entry = input.substr(std::min(slash + 1, input.size()));
  using namespace talvoro;
  using namespace talvoro::protocol;

  if (!name.empty()) require(ruleNameOfTopic(ruleTopic(name)) == name);
  const bool fits = !name.empty() && name.front() != '.' &&
                    name.find('\0') == std::string::npos && name.size() <= kMaxRuleNameLength;
  if (!fits) require(!accepted(name));

  const std::string longest = installedFileName(name, std::string(kMaxHashDigits, '9'));
  if (accepted(name)) require(longest.size() <= kMaxFileNameLength && longest.front() != '.');
  const std::string aside = asideFileName(longest);
  require(aside.size() == longest.size() && aside.front() == '.');
  require(installedNameOfAside(aside) == longest);
  require(!isPendingFileName(aside) && !isPendingFileName(longest));
  require(!parseInstalledFileName(aside));

  if (const auto installed = parseInstalledFileName(entry)) {
    require(!installed->hash.empty());
    require(installed->hash.find_first_not_of("0123456789") == std::string::npos);
    require(installedFileName(installed->rule, installed->hash) == entry);
  }
  const auto found = parseInstalledFileName(installedFileName(name, "7"));
  require(found && found->rule == name && found->hash == "7");
  return 0;
}
