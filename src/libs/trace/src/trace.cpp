#include "p7/trace.h"

#include "p7/detail/channel.h"
#include "p7/detail/options.h"

namespace P7 {

const char* MainTrace = "MainTrace";

namespace {

// Never destroyed: threads and static destructors may still trace while the
// process exits, and every record is already flushed when written.
detail::Channel& theChannel() {
  static detail::Channel* const channel = new detail::Channel();
  return *channel;
}

}  // namespace

TraceChannel* LoggerInit(const std::string& /*name*/,
                         const std::string&& options) {
  detail::Channel& channel = theChannel();
  try {
    channel.configure(detail::parseOptions(options));
  } catch (...) {
    // Keeps the previous set-up: tracing must never take the service down.
  }
  return &channel;
}

TraceChannel* getTrace() { return &theChannel(); }

void MirrorToStandardError(Level level) { theChannel().mirrorToConsole(level); }

}  // namespace P7
