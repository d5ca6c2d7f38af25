#pragma once
// The service's working life: the rule directory taken over, the MQTT client,
// and the receive loop that dispatches configurations and batches of rules.

namespace talvoro {

// Takes the rule directory, connects, takes over configurations and installs
// rules, one message at a time, until a stop signal (blocked beforehand with
// blockStopSignals). Throws AnotherInstanceRunning when another instance of
// the service holds the rule directory.
void add_rule_client_run();

}  // namespace talvoro
