#pragma once
// What the service answers for each message on its result topics: the
// outcome names and the fields of the JSON object.

#include <optional>
#include <string>
#include <string_view>

namespace talvoro::protocol {

// Rules end installed, cleared, unchanged, outdated, rejected or failed;
// configurations accepted, unchanged or rejected.
// Retranslated: the installed rule translated again against a new IO
// structure, its text and timestamp as they were.
enum class Outcome {
  Installed, Cleared, Unchanged, Outdated, Rejected, Failed, Accepted, Retranslated
};

const char* outcomeName(Outcome outcome);
// The outcome of a name; nothing for a name that is none.
std::optional<Outcome> outcomeNamed(std::string_view name);
// Whether what the message asked for is in place: installed, cleared,
// unchanged or accepted.
bool isSuccess(std::string_view outcomeName);

// The fields of a result.
inline constexpr const char* kOutcomeField = "outcome";
inline constexpr const char* kCrcField = "crc";        // of the rule payload
inline constexpr const char* kReasonField = "reason";  // why it is not a success
inline constexpr const char* kFileField = "file";      // the rule file in place
// What the publisher should know of a success: the rule text does not parse,
// a placeholder resolved to nothing, members of the IO structure unknown.
inline constexpr const char* kWarningField = "warning";
inline constexpr const char* kElementsField = "elements";  // of the IO structure in use
inline constexpr const char* kKeptField = "kept";  // the IO structure kept for the next start
// Of a configuration result: the installed rules to be translated again
// against the structure accepted, and, once done, how many were and failed.
inline constexpr const char* kRetranslatingField = "retranslating";
inline constexpr const char* kRetranslatedField = "retranslated";
inline constexpr const char* kFailedField = "failed";

}  // namespace talvoro::protocol
