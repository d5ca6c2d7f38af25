// Rule names and installed file names: for any rule name (one topic level)
// and any directory entry, the name survives the topic, the entry is taken
// as the rule's installed file exactly when it is that file's name, and the
// hash found rebuilds the entry's path.
//
// Input: the rule name, '/', the directory entry.

#include "main.cpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t slash = std::min(input.find('/'), input.size());
  const std::string name = input.substr(0, slash);
  const std::string entry = input.substr(std::min(slash + 1, input.size()));
  using namespace talvoro;

  if (!name.empty()) require(ruleNameOf(kRulesTopicPrefix + name) == name);
  const std::string prefix = name + kInstalledFileSeparator;
  const std::string hash = hashOfInstalledFile(entry, prefix);
  if (!hash.empty()) {
    require(hash.find_first_not_of("0123456789") == std::string::npos);
    require(installedFilePath(name, hash) == rules_dir + entry);
  }
  const std::string own = name + kInstalledFileSeparator + "4711" + kInstalledFileSuffix;
  require(hashOfInstalledFile(own, prefix) == "4711");
  return 0;
}
