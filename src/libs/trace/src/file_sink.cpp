#include "p7/detail/file_sink.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <sys/stat.h>

#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

namespace P7::detail {
namespace fs = std::filesystem;
namespace {

// Small limits would make every record a file of its own.
constexpr std::uint64_t kMinFileBytes = 4096;
constexpr unsigned kMaxNameSuffix = 1000;
constexpr std::string_view kNamePrefix = "trace_";
constexpr std::string_view kNameExtension = ".log";
constexpr std::string_view kStampPattern = "dddddddd-dddddd-dddddd";

struct TraceFile {
  TraceFileName name;
  fs::path path;
  std::uint64_t size = 0;
};

std::string errnoMessage(int error) {
  return std::error_code(error, std::generic_category()).message();
}

bool matchesStampPattern(std::string_view stamp) {
  if (stamp.size() != kStampPattern.size()) return false;
  for (std::size_t i = 0; i < stamp.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(stamp[i])) != 0;
    if (digit != (kStampPattern[i] == 'd') ||
        (!digit && stamp[i] != kStampPattern[i])) {
      return false;
    }
  }
  return true;
}

bool parseSuffix(std::string_view text, unsigned& suffix) {
  if (text.empty()) return true;
  if (text.size() < 2 || text.front() != '_') return false;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data() + 1, end, suffix);
  return ec == std::errc() && ptr == end;
}

// Our files in `dir`, oldest first; empty when the directory cannot be read.
std::vector<TraceFile> listTraceFiles(const fs::path& dir) {
  std::vector<TraceFile> files;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end;
       it.increment(ec)) {
    TraceFile file;
    std::error_code sizeError;
    file.size = it->file_size(sizeError);
    if (sizeError || !it->is_regular_file(sizeError) ||
        !parseTraceFileName(it->path().filename().string(), file.name)) {
      continue;
    }
    file.path = it->path();
    files.push_back(std::move(file));
  }
  std::sort(files.begin(), files.end(),
            [](const TraceFile& a, const TraceFile& b) { return a.name < b.name; });
  return files;
}

}  // namespace

RollPolicy rollPolicyFor(const Options& options) {
  RollPolicy policy;
  policy.maxFiles = options.maxFiles;
  policy.maxTotalBytes = options.maxTotalBytes;
  policy.maxFileAge = options.rollPeriod;
  std::uint64_t perFile = options.maxTotalBytes;
  if (perFile > 0 && options.maxFiles > 0) perFile /= options.maxFiles;
  if (options.rollBytes > 0) {
    perFile = perFile > 0 ? std::min(perFile, options.rollBytes)
                          : options.rollBytes;
  }
  policy.maxFileBytes = perFile > 0 ? std::max(perFile, kMinFileBytes) : 0;
  return policy;
}

bool TraceFileName::operator<(const TraceFileName& other) const {
  return std::tie(stamp, suffix) < std::tie(other.stamp, other.suffix);
}

bool parseTraceFileName(const std::string& name, TraceFileName& parsed) {
  const std::string_view view(name);
  const std::size_t fixedSize =
      kNamePrefix.size() + kStampPattern.size() + kNameExtension.size();
  if (view.size() < fixedSize || view.substr(0, kNamePrefix.size()) != kNamePrefix ||
      view.substr(view.size() - kNameExtension.size()) != kNameExtension) {
    return false;
  }
  const std::string_view stamp = view.substr(kNamePrefix.size(), kStampPattern.size());
  const std::string_view suffix =
      view.substr(kNamePrefix.size() + kStampPattern.size(),
                  view.size() - fixedSize);
  TraceFileName result{std::string(stamp), 0};
  if (!matchesStampPattern(stamp) || !parseSuffix(suffix, result.suffix)) {
    return false;
  }
  parsed = std::move(result);
  return true;
}

// UTC, so that names keep sorting by creation time across daylight saving
// and time zone changes.
std::string traceFileName(TimePoint createdAt, unsigned suffix) {
  using namespace std::chrono;
  const auto seconds = floor<std::chrono::seconds>(createdAt);
  const long micros =
      static_cast<long>(duration_cast<microseconds>(createdAt - seconds).count());
  const std::time_t time = system_clock::to_time_t(seconds);
  std::tm calendar{};
  gmtime_r(&time, &calendar);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &calendar);
  char name[96];
  if (suffix == 0) {
    std::snprintf(name, sizeof name, "trace_%s-%06ld.log", stamp, micros);
  } else {
    std::snprintf(name, sizeof name, "trace_%s-%06ld_%u.log", stamp, micros,
                  suffix);
  }
  return name;
}

FileSink::FileSink(fs::path dir, RollPolicy policy, Clock clock,
                   std::FILE* fallback)
    : dir_(std::move(dir)),
      policy_(policy),
      clock_(std::move(clock)),
      fallback_(fallback) {
  openNewFile();
}

bool FileSink::write(std::string_view record) {
  std::string fitted;
  if (policy_.maxFileBytes > 0 && record.size() > policy_.maxFileBytes) {
    fitted = fitRecord(record, policy_.maxFileBytes);
    record = fitted;
  }
  if (failed_) {
    retryFiles();
  } else if (fileRemoved() || rollDue(record.size())) {
    openNewFile();
  }
  if (failed_) return writeAndFlush(fallback_, record);
  return writeToFile(record);
}

bool FileSink::rollDue(std::size_t nextRecordSize) const {
  if (fileBytes_ == 0) return false;
  const bool full = policy_.maxFileBytes > 0 &&
                    fileBytes_ + nextRecordSize > policy_.maxFileBytes;
  const bool old = policy_.maxFileAge.count() > 0 &&
                   clock_() - fileOpenedAt_ >= policy_.maxFileAge;
  return full || old;
}

// Writes to a file whose last name is gone succeed but reach nobody.
bool FileSink::fileRemoved() const {
  struct stat status {};
  return ::fstat(::fileno(file_.get()), &status) == 0 && status.st_nlink == 0;
}

// Records written to the fallback meanwhile stay there: the new file only
// gets the records from now on, so neither place has them out of order.
void FileSink::retryFiles() {
  if (clock_() - lastAttempt_ < kRetryInterval || !openNewFile()) return;
  failed_ = false;
  writeAndFlush(fallback_, "trace: writing to " + filePath_.string() + " again\n");
}

bool FileSink::openNewFile() {
  file_.reset();
  lastAttempt_ = clock_();
  std::error_code ec;
  fs::create_directories(dir_, ec);
  if (ec) {
    fallBack(dir_, ec.message());
    return false;
  }
  makeRoomForNewFile();
  const TimePoint now = clock_();
  for (unsigned suffix = 0; suffix < kMaxNameSuffix; ++suffix) {
    const fs::path path = dir_ / traceFileName(now, suffix);
    // "x": never reuse a file another run or process has just created.
    if (std::FILE* file = std::fopen(path.c_str(), "wxe")) {
      file_.reset(file);
      filePath_ = path;
      fileBytes_ = 0;
      fileOpenedAt_ = now;
      return true;
    }
    if (errno != EEXIST) {
      fallBack(path, errnoMessage(errno));
      return false;
    }
  }
  fallBack(dir_, "no free file name");
  return false;
}

// Deletes the oldest files until one more file of full size fits within the
// limits; files of earlier runs count too.
void FileSink::makeRoomForNewFile() {
  if (policy_.maxFiles == 0 && policy_.maxTotalBytes == 0) return;
  const std::vector<TraceFile> files = listTraceFiles(dir_);
  std::size_t count = files.size();
  std::uint64_t total = 0;
  for (const TraceFile& file : files) total += file.size;
  for (const TraceFile& file : files) {
    const bool tooMany = policy_.maxFiles > 0 && count + 1 > policy_.maxFiles;
    const bool tooBig = policy_.maxTotalBytes > 0 &&
                        total + policy_.maxFileBytes > policy_.maxTotalBytes;
    if (!tooMany && !tooBig) break;
    std::error_code ec;
    if (fs::remove(file.path, ec)) {
      --count;
      total -= file.size;
    }
  }
}

bool FileSink::writeToFile(std::string_view record) {
  if (writeAndFlush(file_.get(), record)) {
    fileBytes_ += record.size();
    return true;
  }
  fallBack(filePath_, errnoMessage(errno));
  return writeAndFlush(fallback_, record);
}

// Says so only when leaving the files, not on every failed retry.
void FileSink::fallBack(const fs::path& path, const std::string& reason) {
  file_.reset();
  lastAttempt_ = clock_();
  if (std::exchange(failed_, true)) return;
  writeAndFlush(fallback_, "trace: cannot write to " + path.string() + ": " +
                               reason + "; writing to standard error\n");
}

}  // namespace P7::detail
