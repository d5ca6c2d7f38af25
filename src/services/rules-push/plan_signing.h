#pragma once
// rules-push --sign-key: every rule text, removal and IO structure of a
// deployment signed before anything is published.

#include <optional>
#include <string>
#include <vector>

#include "push_options.h"

namespace talvoro::push {

// The time now, in seconds since the epoch: what a signature and a
// timestamp line carry.
long long secondsNow();

// Signs each rule of `rules` under its name (an empty text becomes the signed
// removal of the rule) and `configuration` unless it is null, with the
// Ed25519 private key in `keyFile`, at the time `now`. Throws InputError for
// a key file that cannot be used, for a rule without a timestamp line (the
// service in signed mode refuses one), and for a signed text too large for
// one message.
void signDeployment(const std::string& keyFile, long long now, std::vector<RuleFile>& rules,
                    std::string* configuration);

}  // namespace talvoro::push
