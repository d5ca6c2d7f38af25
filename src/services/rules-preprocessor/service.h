#pragma once
// The service's working life: the rule directory taken over, the MQTT client,
// and the receive loop that dispatches configurations and batches of rules.

#include "rule_check_settings.h"

namespace talvoro {

// Takes the rule directory, connects, takes over configurations and installs
// rules, one message at a time, until a stop signal (blocked beforehand with
// blockStopSignals). Throws AnotherInstanceRunning when another instance of
// the service holds the rule directory. Rules are checked as `checks` say.
void add_rule_client_run(RuleCheckSettings checks);

}  // namespace talvoro
