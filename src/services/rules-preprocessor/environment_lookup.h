#pragma once
// How the settings units read the environment, so that tests can hand them
// one of their own.

#include <functional>
#include <string_view>

namespace talvoro {

// The variable's value, or nullptr when it is not set.
using EnvironmentLookup = std::function<const char*(const char*)>;

// The value of variable `name`; empty when it is not set, which the settings
// take alike.
inline std::string_view environmentValue(const EnvironmentLookup& lookup, const char* name) {
  const char* value = lookup(name);
  return value != nullptr ? value : "";
}

}  // namespace talvoro
