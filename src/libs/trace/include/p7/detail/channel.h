#pragma once
// The TraceChannel behind LoggerInit and getTrace.

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "p7/detail/file_sink.h"
#include "p7/detail/options.h"
#include "p7/detail/sink.h"
#include "p7/trace.h"

namespace P7::detail {

class Channel final : public TraceChannel {
 public:
  // Until configured, records go to `console`.
  explicit Channel(Clock clock = std::chrono::system_clock::now,
                   std::FILE* console = stderr);

  // Replaces the sink and the verbosity; the old sink's file stays as is.
  void configure(const Options& options);

  // Records at `level` or above are copied to the console too.
  void mirrorToConsole(Level level) { mirrorLevel_ = static_cast<int>(level); }

  bool Trace(std::uint16_t id, Level level, ModuleHandle module,
             std::uint16_t line, const char* file, const char* function,
             const char* format, ...) override
      __attribute__((format(printf, 8, 9)));

 private:
  std::unique_ptr<Sink> makeSink(const Options& options) const;
  bool emit(Level level, unsigned line, const char* file,
            const char* function, const std::string& message);

  Clock clock_;
  std::FILE* console_;
  std::atomic<int> verbosity_{0};
  std::atomic<int> mirrorLevel_{static_cast<int>(Level::Critical) + 1};
  std::atomic<std::uint64_t> recordLimit_{0};
  std::mutex mutex_;
  std::unique_ptr<Sink> sink_;
};

}  // namespace P7::detail
