#pragma once
// The service's working life: the rule directory taken over, the MQTT client,
// and the receive loop that dispatches configurations and batches of rules.

#include "mqtt_session_settings.h"
#include "rule_check_settings.h"
#include "talvoro/signing/keys.h"

namespace talvoro {

// Takes the rule directory, connects, takes over configurations and installs
// rules, one message at a time, until a stop signal (blocked beforehand with
// blockStopSignals). It connects as `session` says. Rules are checked as
// `checks` say; with `trusted` keys (signed mode) only rule texts and IO
// structures signed by one of them are taken. Throws AnotherInstanceRunning
// when another instance of the service holds the rule directory.
void add_rule_client_run(RuleCheckSettings checks, const MqttSessionSettings& session,
                         const signing::TrustedKeys* trusted = nullptr);

}  // namespace talvoro
