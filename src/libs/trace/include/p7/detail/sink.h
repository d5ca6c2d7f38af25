#pragma once
// Destinations for finished records.

#include <cstdint>
#include <cstdio>
#include <string_view>

namespace P7::detail {

class Sink {
 public:
  virtual ~Sink() = default;
  // `record` is one finished line, line feed included.
  virtual bool write(std::string_view record) = 0;
  // Records longer than this are cut when written; 0 when none are.
  virtual std::uint64_t recordLimit() const { return 0; }
  // True while records go to the console (standard error) anyway.
  virtual bool onConsole() const { return false; }
};

// Writes to an already open stream such as standard error.
class StreamSink final : public Sink {
 public:
  explicit StreamSink(std::FILE* stream) : stream_(stream) {}
  bool write(std::string_view record) override;
  bool onConsole() const override { return true; }

 private:
  std::FILE* stream_;
};

class NullSink final : public Sink {
 public:
  bool write(std::string_view) override { return true; }
};

// Writes the whole record and flushes it, so a crash loses nothing written.
bool writeAndFlush(std::FILE* stream, std::string_view record);

}  // namespace P7::detail
