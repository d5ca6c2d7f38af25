#include "p7/detail/channel.h"

#include <utility>

#include "p7/detail/record.h"

namespace P7::detail {

Channel::Channel(Clock clock, std::FILE* console)
    : clock_(std::move(clock)),
      console_(console),
      sink_(std::make_unique<StreamSink>(console)) {}

void Channel::configure(const Options& options) {
  // Built outside the lock: opening the directory must not stall tracing.
  std::unique_ptr<Sink> sink = makeSink(options);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::swap(sink_, sink);
    verbosity_ = options.verbosity;
    recordLimit_ = sink_->recordLimit();
  }
}

std::unique_ptr<Sink> Channel::makeSink(const Options& options) const {
  switch (options.sink) {
    case SinkKind::FileTxt:
      return std::make_unique<FileSink>(options.dir, rollPolicyFor(options),
                                        clock_, console_);
    case SinkKind::Null:
      return std::make_unique<NullSink>();
    case SinkKind::Console:
      break;
  }
  return std::make_unique<StreamSink>(console_);
}

bool Channel::Trace(std::uint16_t, Level level, ModuleHandle,
                    std::uint16_t line, const char* file,
                    const char* function, const char* format, ...) {
  if (static_cast<int>(level) < verbosity_) return false;
  // A message longer than the sink's records is cut with its record anyway:
  // formatting only what can be written spares a copy of a huge message
  // (a whole rule text) and of its record.
  const std::uint64_t limit = recordLimit_;
  va_list args;
  va_start(args, format);
  const std::optional<std::string> message =
      formatMessage(format, args, limit > 0 ? static_cast<std::size_t>(limit) : SIZE_MAX);
  va_end(args);
  if (!message) return false;
  try {
    return emit(level, line, file, function, *message);
  } catch (...) {
    return false;
  }
}

bool Channel::emit(Level level, unsigned line, const char* file,
                   const char* function, const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Stamped under the lock so that records in a file are in time order.
  const std::string record =
      formatRecord(clock_(), level, file, line, function, message);
  if (static_cast<int>(level) >= mirrorLevel_ && !sink_->onConsole()) {
    writeAndFlush(console_, record);
  }
  return sink_->write(record);
}

}  // namespace P7::detail
