#pragma once
// Trace logging layer with the interface of the P7 trace library.
//
// The service sets up one channel with LoggerInit and writes printf-style
// records through TraceChannel::Trace. Records go to rolling text files in the
// directory named by the options string; when that directory cannot be
// created or written, they go to standard error instead (said once).
// A trace call never throws and may be made from any thread.

#include <cstdarg>
#include <cstdint>
#include <string>

namespace P7 {

// Name of the service's main trace channel.
extern const char* MainTrace;

// Record levels, P7 numbering.
enum class Level : int {
  Trace = 0,
  Debug = 1,
  Info = 2,
  Warning = 3,
  Error = 4,
  Critical = 5,
};

using ModuleHandle = const void*;

class TraceChannel {
 public:
  virtual ~TraceChannel() = default;

  // Writes one record: id and module are accepted for interface
  // compatibility and not written; line, file and function locate the call;
  // format and the arguments that follow are printf-style. Returns false when
  // the record was dropped (below the verbosity level) or could not be
  // written; never throws.
  virtual bool Trace(std::uint16_t id, Level level, ModuleHandle module,
                     std::uint16_t line, const char* file,
                     const char* function, const char* format, ...)
      __attribute__((format(printf, 8, 9))) = 0;
};

// Sets up tracing for the channel `name` as `options` asks, e.g.
// "/P7.Sink=FileTxt /P7.Dir=/var/log/p7/x /P7.Roll=24hr /P7.Files=3
//  /P7.FSize=10 /P7.Trc.Verb=2", and returns the channel. The channel stays
// valid until the process ends; a second call replaces the set-up and
// returns the same object. Never returns null and never throws.
TraceChannel* LoggerInit(const std::string& name, const std::string&& options);

// The channel that LoggerInit set up; before LoggerInit, a channel that
// writes to standard error. Never returns null.
TraceChannel* getTrace();

// From now on, records at `level` or above are also written to standard
// error, unless they go there anyway (a console sink, or a log directory
// that cannot be written): a service that logs to files then keeps them
// where its supervisor looks (the journal under systemd). Off until called.
void MirrorToStandardError(Level level);

}  // namespace P7
