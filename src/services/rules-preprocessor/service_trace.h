#pragma once
// How the service's units write trace records, and the excerpts that keep
// records of arbitrary input short.

#include <cstddef>
#include <string>
#include <string_view>

#include "p7/trace.h"

namespace talvoro {

// Every record names the service's entry file and, for the rule client's
// work, the function of its entry point, also when the work is done in one of
// its units, so that the log reads the same however the code is split.
inline constexpr const char* kTraceSourceFile = "src/services/rules-preprocessor/main.cpp";
inline constexpr const char* kClientFunction = "add_rule_client_run";

#define TRACE_AS(function, trace, level, ...)                                         \
  (trace).Trace(0, P7::Level::level, nullptr, __LINE__, ::talvoro::kTraceSourceFile, \
                function, __VA_ARGS__)

// Error records also go to standard error (the journal under systemd), so
// that the reason of every exit is kept where an operator looks, however
// quickly the trace files roll. While one of these lives, every record does:
// for the start and the stop.
class RecordsAlsoOnStandardError {
 public:
  RecordsAlsoOnStandardError() { P7::MirrorToStandardError(P7::Level::Info); }
  ~RecordsAlsoOnStandardError() { P7::MirrorToStandardError(P7::Level::Error); }
  RecordsAlsoOnStandardError(const RecordsAlsoOnStandardError&) = delete;
  RecordsAlsoOnStandardError& operator=(const RecordsAlsoOnStandardError&) = delete;
};

// Error texts can quote the offending input; records show only this much.
inline constexpr std::size_t kMaxErrorTextInRecord = 1000;

// At most `limit` bytes of `text`, cut before a UTF-8 sequence, with "..."
// when something was cut.
std::string excerpt(std::string_view text, std::size_t limit);

}  // namespace talvoro
