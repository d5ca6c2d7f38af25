#pragma once
// The controllers of a fleet, as rules-push reads them: from --fleet FILE,
// or the brokers and --prefix of the command line.

#include <string>
#include <vector>

#include "controller.h"
#include "push_options.h"

namespace talvoro::push {

// The controllers in the text of a fleet file named `file`: one per line,
// fields separated by blanks: an optional broker URI (first, holding
// "://"; else `defaultBroker`), the topic prefix, then optionally
// user=NAME and password-file=PATH. Blank lines and lines starting with '#'
// are skipped. Throws InputError "FILE:LINE: ..." for a malformed line, a
// controller given twice, and a file without controllers.
std::vector<Controller> parseFleet(const std::string& text, const std::string& file,
                                   const std::string& defaultBroker);

// The controllers of a run: those of --fleet, else one per broker with
// --prefix (or none). `environmentBroker` is MQTT_BROKER_URL. Labelled.
std::vector<Controller> controllersOf(const PushOptions& options, const char* environmentBroker);

}  // namespace talvoro::push
