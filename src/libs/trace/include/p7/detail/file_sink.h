#pragma once
// Rolling text files with bounds on their number and their total size.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "p7/detail/options.h"
#include "p7/detail/record.h"
#include "p7/detail/sink.h"

namespace P7::detail {

using Clock = std::function<TimePoint()>;

// A zero field means "no limit".
struct RollPolicy {
  std::size_t maxFiles = 0;
  std::uint64_t maxTotalBytes = 0;
  std::uint64_t maxFileBytes = 0;
  std::chrono::system_clock::duration maxFileAge{0};
};

RollPolicy rollPolicyFor(const Options& options);

// The files this library writes: trace_YYYYMMDD-HHMMSS-uuuuuu[_N].log.
// Only files matching this are ever counted or deleted.
struct TraceFileName {
  std::string stamp;  // "YYYYMMDD-HHMMSS-uuuuuu"
  unsigned suffix = 0;
  bool operator<(const TraceFileName& other) const;
};

bool parseTraceFileName(const std::string& name, TraceFileName& parsed);
std::string traceFileName(TimePoint createdAt, unsigned suffix);

class FileSink final : public Sink {
 public:
  // Opens the first file at once. When the directory or a file cannot be
  // used, says so once on `fallback` and writes the records there, trying a
  // new file again at most every kRetryInterval (by `clock`) and going back
  // to files once that works. A file removed while open (its directory
  // deleted) is replaced by a new one before the next record.
  FileSink(std::filesystem::path dir, RollPolicy policy, Clock clock,
           std::FILE* fallback = stderr);
  bool write(std::string_view record) override;
  bool onConsole() const override { return failed_; }
  std::uint64_t recordLimit() const override { return policy_.maxFileBytes; }

  static constexpr std::chrono::seconds kRetryInterval{5};

 private:
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };

  bool rollDue(std::size_t nextRecordSize) const;
  bool fileRemoved() const;
  void retryFiles();
  bool openNewFile();
  void makeRoomForNewFile();
  bool writeToFile(std::string_view record);
  void fallBack(const std::filesystem::path& path, const std::string& reason);

  std::filesystem::path dir_;
  RollPolicy policy_;
  Clock clock_;
  std::FILE* fallback_;
  std::unique_ptr<std::FILE, FileCloser> file_;
  std::filesystem::path filePath_;
  std::uint64_t fileBytes_ = 0;
  TimePoint fileOpenedAt_;
  bool failed_ = false;
  TimePoint lastAttempt_;
};

}  // namespace P7::detail
