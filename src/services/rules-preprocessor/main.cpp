// rules-preprocessor: takes the controller's IO structure and automation rules
// over MQTT, resolves the placeholders of each rule against the IO structure,
// installs the result as one file per rule in the rule engine's directory and
// acknowledges every installed rule with the CRC-32 of the text it received.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/regex.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <ctime>
#include <fmt/format.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "p7/trace.h"
#include "talvoro/io_structure.h"
#include "talvoro/mosquitto/mqtt_async_wrapper.h"
#include "talvoro/rules_protocol.h"

// The version text comes from the build (CMakeLists.txt), which also derives
// the package version from it.
#ifndef RULES_PREPROCESSOR_VERSION
#error "RULES_PREPROCESSOR_VERSION must be defined by the build"
#endif

// Records of the rule client carry the function name of its entry point, also
// when the work is done in one of its helpers, so that the log reads the same
// however the code is split.
#define TRACE_AS(function, trace, level, ...)                                \
  (trace).Trace(0, P7::Level::level, nullptr, __LINE__, __FILE__, function, \
                __VA_ARGS__)

namespace talvoro {
namespace {

IoStructure m_configuration;
std::string rules_dir = "/etc/wb-rules/";
std::unordered_map<std::string, std::size_t> m_current_rules;
const std::regex k_epoch_ts_re(R"(^\s*//\s*([0-9]{10,})\s*$)");
std::size_t m_structure_hash = 0;
std::mutex m_current_rules_mutex;

constexpr const char* kClientFunction = "add_rule_client_run";
using protocol::kConfigurationResultTopic;
using protocol::kConfigurationTopic;
using protocol::kRulesTopicPrefix;
using protocol::kRuleResultTopicPrefix;
using protocol::kStateTopic;
using protocol::kStatusTopicPrefix;
const std::string kRulesTopicFilter = kRulesTopicPrefix + "+";
const std::string kInstalledFileSeparator = "-__";
const std::string kInstalledFileSuffix = "__.js";
// Files of the service's own that the rule engine must never load: new
// versions being written, and installed versions moved aside while they are
// replaced. Both are hidden and do not end in ".js".
const std::string kPendingFilePrefix = ".rule-";
const std::string kAsideFileSuffix = ".old";

// The longest file name the file system takes, and so the longest rule
// name whose file name fits with the longest hash of all. The hash of a
// 64-bit controller sets the bound on 32-bit ones too, so that a rule name
// valid on one controller is valid on every one.
constexpr std::size_t kMaxFileNameLength = 255;
constexpr std::size_t kMaxHashDigits =
    std::numeric_limits<std::uint64_t>::digits10 + 1;
constexpr std::size_t kMaxRuleNameLength =
    kMaxFileNameLength - 3 /* "-__" */ - kMaxHashDigits - 5 /* "__.js" */;

// Only this much of an installed rule file is read for its timestamp line.
constexpr std::size_t kMaxInstalledHeadBytes = 64 * 1024;

// The IO structure nests four levels deep; members the service ignores may
// add some, but nothing needs more than this.
constexpr std::size_t kMaxConfigurationDepth = 32;
// Error texts can quote the offending input; records show only this much.
constexpr std::size_t kMaxErrorTextInRecord = 1000;

// How long the receive loop waits for a message before it looks for a stop
// request again.
constexpr int kStopPollMs = 200;

// A timestamp line is short; longer lines are not handed to std::regex, whose
// matcher recurses per character and would exhaust the stack on a line of
// megabytes.
constexpr std::size_t kMaxTimestampLineLength = 1024;
constexpr std::size_t kTimestampLinesSearched = 10;

}  // namespace

// ---------------------------------------------------------------------------
// Placeholder translation

// A placeholder that the current IO structure cannot resolve. what() is the
// service's traditional "Parse error!"; key() names the element asked for.
class UnresolvedPlaceholder : public std::runtime_error {
 public:
  explicit UnresolvedPlaceholder(std::string key)
      : std::runtime_error("Parse error!"), key_(std::move(key)) {}
  const std::string& key() const { return key_; }

 private:
  std::string key_;
};

namespace {

// Resolves one placeholder match against the current IO structure.
struct PlaceholderResolver {
  P7::TraceChannel& trace;

  std::string operator()(const boost::smatch& match) const {
    const std::string kind = match[1].str();
    const std::string key = match[2].str();
    const auto found = m_configuration.find(key);
    if (found == m_configuration.end()) {
      throw UnresolvedPlaceholder(key);
    }
    const IoInfo& element = *found->second;
    if (kind == "DEVICE") {
      return element.deviceName;
    }
    if (kind == "VIRTUAL_DEVICE") {
      return element.virtualDeviceName;
    }
    if (kind == "PORT") {
      return fmt::format("{}", element.port);
    }
    const auto cells = element.getCells();
    if (cells.empty()) {
      TRACE_AS(__func__, trace, Error, "Ячеек для %s нет вообще. Что делать?",
               key.c_str());
      throw UnresolvedPlaceholder(key);
    }
    if (cells.size() > 1) {
      TRACE_AS(__func__, trace, Warning,
               "Количество ячеек для %s больше одной. Наугад выберу первую.",
               key.c_str());
    }
    return *cells.begin();
  }
};

}  // namespace

// Replaces every DEVICE_NAME(key), VIRTUAL_DEVICE_NAME(key), PORT_NAME(key)
// and CELL_NAME(key) in `text` by the element's value. Throws
// std::runtime_error("Parse error!") when one of them cannot be resolved.
std::string translate(std::string text) {
  P7::TraceChannel& trace = *P7::getTrace();
  static const boost::regex placeholder(
      R"(((?:DEVICE)|(?:CELL)|(?:VIRTUAL_DEVICE)|(?:PORT))_NAME\(([\d\w]+)\))");
  std::string translated;
  // Most texts keep their length: one allocation, never a doubling copy.
  translated.reserve(text.size());
  boost::regex_replace(std::back_inserter(translated), text.cbegin(), text.cend(),
                       placeholder, PlaceholderResolver{trace});
  return translated;
}

// ---------------------------------------------------------------------------
// Installed rule files

namespace {

std::string systemErrorText(int error) {
  return std::error_code(error, std::generic_category()).message();
}

// At most `limit` bytes of `text`, cut before a UTF-8 sequence, with "..."
// when something was cut.
std::string excerpt(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) {
    return std::string(text);
  }
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  return std::string(text.substr(0, cut)) + "...";
}

}  // namespace

// A rule that can never be installed as sent (its name cannot be a file name).
class RuleRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failed operation on the rule directory. what() names the operation, the
// path and the system's error text; reason() is that text alone. The
// directory holds what it held before the failed replacement.
class RuleFileError : public std::runtime_error {
 public:
  enum class Stage {
    Lookup,   // the installed versions could not be found out
    Create,   // the new version could not be put in place
    Remove,   // the installed version could not be moved out of the way
  };

  RuleFileError(Stage stage, const std::string& operation, const std::string& reason,
                int code = 0)
      : std::runtime_error(fmt::format("{}: {}", operation, reason)),
        stage_(stage),
        reason_(reason),
        code_(code) {}

  static RuleFileError fromErrno(Stage stage, const std::string& operation,
                                 int error) {
    return RuleFileError(stage, operation, systemErrorText(error), error);
  }

  Stage stage() const { return stage_; }
  const std::string& reason() const { return reason_; }
  // The errno value, 0 when the failure has no system error.
  int code() const { return code_; }

 private:
  Stage stage_;
  std::string reason_;
  int code_;
};

// The rule directory is locked by another running instance of the service.
class AnotherInstanceRunning : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace {

// The record of every failed operation on the rule directory.
void traceFileFailure(P7::TraceChannel& trace, const std::string& failure) {
  TRACE_AS(kClientFunction, trace, Error, "Ошибка файловой операции: %s", failure.c_str());
}

// The hash digits of `entry` when it is "<prefix><digits>__.js", the
// installed file name of the rule whose name and separator form `prefix`
// (compared as plain text), else empty.
std::string hashOfInstalledFile(const std::string& entry, const std::string& prefix) {
  const std::size_t fixedLength = prefix.size() + kInstalledFileSuffix.size();
  if (entry.size() <= fixedLength ||
      entry.compare(0, prefix.size(), prefix) != 0 ||
      entry.compare(entry.size() - kInstalledFileSuffix.size(), kInstalledFileSuffix.size(),
                    kInstalledFileSuffix) != 0) {
    return {};
  }
  std::string digits = entry.substr(prefix.size(), entry.size() - fixedLength);
  const bool allDigits = digits.find_first_not_of("0123456789") == std::string::npos;
  return allDigits ? digits : std::string{};
}

// An installed file name taken apart: "<rule>-__<hash>__.js".
struct InstalledName {
  std::string rule;
  std::string hash;
};

// The rule and hash of an installed file name, nothing for any other name.
// The digits end where "-__" begins, so the split is unique.
std::optional<InstalledName> parseInstalledFileName(const std::string& fileName) {
  const std::size_t separator = fileName.rfind(kInstalledFileSeparator);
  if (separator == std::string::npos) {
    return std::nullopt;
  }
  std::string rule = fileName.substr(0, separator);
  std::string hash = hashOfInstalledFile(fileName, rule + kInstalledFileSeparator);
  if (hash.empty()) {
    return std::nullopt;
  }
  return InstalledName{std::move(rule), std::move(hash)};
}

std::string installedFileName(const std::string& name, const std::string& hash) {
  return fmt::format("{}{}{}{}", name, kInstalledFileSeparator, hash,
                     kInstalledFileSuffix);
}

// ".<name>-__<hash>.old" for "<name>-__<hash>__.js": as long as the installed
// name, so it always fits, hidden, and never taken for a rule file.
std::string asideFileName(const std::string& installedName) {
  return "." +
         installedName.substr(0, installedName.size() - kInstalledFileSuffix.size()) +
         kAsideFileSuffix;
}

// The installed file name that the aside file `entry` was moved away from,
// or empty when `entry` is no aside file.
std::string installedNameOfAside(const std::string& entry) {
  if (entry.size() <= 1 + kAsideFileSuffix.size() || entry.front() != '.' ||
      entry.compare(entry.size() - kAsideFileSuffix.size(), kAsideFileSuffix.size(),
                    kAsideFileSuffix) != 0) {
    return {};
  }
  std::string original =
      entry.substr(1, entry.size() - 1 - kAsideFileSuffix.size()) + kInstalledFileSuffix;
  return parseInstalledFileName(original) ? original : std::string{};
}

// ".rule-XXXXXX", as mkstemp makes them.
bool isPendingFileName(const std::string& entry) {
  constexpr std::size_t kRandomPart = 6;
  return entry.size() == kPendingFilePrefix.size() + kRandomPart &&
         entry.compare(0, kPendingFilePrefix.size(), kPendingFilePrefix) == 0 &&
         std::all_of(entry.begin() + kPendingFilePrefix.size(), entry.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports whether the close succeeded.
  bool close() {
    const int fd = std::exchange(fd_, -1);
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool writeAll(int fd, const std::string& text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

// A new rule file being written under a name the rule engine ignores. It is
// removed again unless it was committed under its final name, so a failed
// write never leaves a half-written rule behind.
class PendingRuleFile {
 public:
  explicit PendingRuleFile(const std::string& dir) : dir_(dir) {}
  ~PendingRuleFile() {
    if (!path_.empty()) {
      ::unlink(path_.c_str());
    }
  }
  PendingRuleFile(const PendingRuleFile&) = delete;
  PendingRuleFile& operator=(const PendingRuleFile&) = delete;

  // Writes `text` to a fresh temporary file; sync() makes it durable. Files
  // written one after the other and then synced cost one journal commit.
  void write(const std::string& text) {
    std::string pattern = dir_ + kPendingFilePrefix + "XXXXXX";
    fd_ = FileDescriptor(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd_.valid()) {
      throw createError("создание", pattern);
    }
    path_ = pattern;
    if (::fchmod(fd_.get(), 0644) != 0 || !writeAll(fd_.get(), text)) {
      throw createError("запись", path_);
    }
  }

  void sync() {
    if (::fsync(fd_.get()) != 0 || !fd_.close()) {
      throw createError("запись", path_);
    }
  }

  // For a file already made durable with the whole file system.
  void close() {
    if (!fd_.close()) {
      throw createError("запись", path_);
    }
  }

  bool written() const { return fd_.valid(); }
  const std::string& path() const { return path_; }

  // Moves the file to `finalPath`; the caller syncs the directory.
  void commit(const std::string& finalPath) {
    if (::rename(path_.c_str(), finalPath.c_str()) != 0) {
      throw createError("переименование", fmt::format("{} -> {}", path_, finalPath));
    }
    path_.clear();
  }

 private:
  static RuleFileError createError(const std::string& operation, const std::string& path) {
    return RuleFileError::fromErrno(RuleFileError::Stage::Create,
                                    fmt::format("{} {}", operation, path), errno);
  }

  std::string dir_;
  std::string path_;
  FileDescriptor fd_;
};

// One installed version of a rule.
struct InstalledVersion {
  std::string fileName;
  std::string hash;
};

// The rule engine's directory as this service keeps it: one file per rule,
// "<name>-__<hash>__.js", plus hidden files of the service's own while a
// version is replaced. It replaces versions so that a rule is installed
// whole or not at all and an installed version is never lost by a failed
// update, reports every failure with the system's reason, and sweeps what an
// interrupted run left behind. Entries that are not regular files (or links
// to them) are never taken for installed versions, and never read.
class RuleDirectory {
 public:
  // `path` ends with a slash.
  RuleDirectory(std::string path, P7::TraceChannel& trace)
      : path_(std::move(path)), trace_(trace) {}

  const std::string& path() const { return path_; }
  std::string pathOf(const std::string& fileName) const { return path_ + fileName; }

  // Takes the lock that keeps two instances of the service off one
  // directory, for the life of this object. False when another process
  // holds it. Throws RuleFileError when the directory cannot be opened.
  bool tryLock() {
    FileDescriptor dir(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) {
      throw RuleFileError::fromErrno(RuleFileError::Stage::Lookup,
                                     fmt::format("открытие каталога {}", path_), errno);
    }
    if (::flock(dir.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) {
        return false;
      }
      throw RuleFileError::fromErrno(RuleFileError::Stage::Lookup,
                                     fmt::format("блокировка каталога {}", path_), errno);
    }
    lock_ = std::move(dir);
    return true;
  }

  // Removes the temporary files of interrupted installs and the versions
  // moved aside by an interrupted replacement; a version moved aside whose
  // rule has no installed version left is put back instead.
  void sweepLeftovers() {
    std::vector<Entry> entries;
    try {
      entries = rebuildIndex();
    } catch (const RuleFileError& error) {
      traceFileFailure(trace_, error.what());
      return;
    }
    // Decided on the listing: the changes made here reach the index later.
    for (const Entry& entry : entries) {
      if (!isRegularFile(entry)) {
        continue;
      }
      if (isPendingFileName(entry.name)) {
        removeLeftover(entry.name);
      } else if (const std::string original = installedNameOfAside(entry.name);
                 !original.empty()) {
        const bool replaced = index_.count(parseInstalledFileName(original)->rule) > 0;
        replaced ? removeLeftover(entry.name) : restoreAside(entry.name, original);
      }
    }
  }

  // Every installed version of rule `name`: regular files (or links to
  // them) named exactly "<name>-__<digits>__.js". Throws RuleFileError when
  // the directory cannot be read; a missing directory holds none.
  std::vector<InstalledVersion> installedVersions(const std::string& name) {
    refreshIndex();
    std::vector<InstalledVersion> versions;
    if (const auto found = index_.find(name); found != index_.end()) {
      for (const std::string& hash : found->second) {
        versions.push_back({installedFileName(name, hash), hash});
      }
    }
    return versions;
  }

  // The first kMaxInstalledHeadBytes of an installed version, read without
  // blocking; nothing when it cannot be opened or is no regular file.
  std::optional<std::string> readHead(const std::string& fileName) const {
    FileDescriptor fd(::open(pathOf(fileName).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
      return std::nullopt;
    }
    std::string head(kMaxInstalledHeadBytes, '\0');
    std::size_t got = 0;
    while (got < head.size()) {
      const ssize_t n = ::read(fd.get(), head.data() + got, head.size() - got);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        break;
      }
      got += static_cast<std::size_t>(n);
    }
    head.resize(got);
    return head;
  }

  // One rule's replacement in a batch.
  struct Replacement {
    const std::vector<InstalledVersion>* installed;
    const std::string* newFileName;
    const std::string* text;  // empty: only remove the installed versions
    std::optional<RuleFileError> error;  // set when it failed
  };

  // Puts `text` in place as `newFileName` and removes the `installed`
  // versions; an empty text only removes them. The rule engine sees the old
  // versions go before the new one appears. Throws RuleFileError; the
  // directory then holds what it held before.
  void replace(const std::vector<InstalledVersion>& installed,
               const std::string& newFileName, const std::string& text) {
    std::vector<Replacement> one{{&installed, &newFileName, &text, std::nullopt}};
    replace(one);
    if (one.front().error) {
      throw *one.front().error;
    }
  }

  // Replaces the rules of `batch` (distinct rule names) together: the new
  // files are written, made durable together, put in place in batch order,
  // and the directory is synced once. Each replacement succeeds or fails on
  // its own, as the single one does.
  void replace(std::vector<Replacement>& batch) {
    std::deque<PendingRuleFile> pending;
    std::deque<AsideVersions> aside;
    for (Replacement& r : batch) {
      PendingRuleFile& file = pending.emplace_back(path_);
      aside.emplace_back(*this);
      attempt(r, [&] {
        if (!r.text->empty()) {
          file.write(*r.text);
        }
      });
    }
    makeDurable(batch, pending);
    for (std::size_t i = 0; i < batch.size(); ++i) {
      attempt(batch[i], [&] { putInPlace(batch[i], pending[i], aside[i]); });
    }
    syncDirectory();
    for (std::size_t i = 0; i < batch.size(); ++i) {
      if (!batch[i].error) {
        aside[i].discard();
      }
    }
  }

 private:
  struct Entry {
    std::string name;
    unsigned char type;
  };

  // Installed versions moved out of the way under hidden names; put back
  // unless the replacement went through.
  class AsideVersions {
   public:
    explicit AsideVersions(RuleDirectory& dir) : dir_(dir) {}
    ~AsideVersions() {
      if (!keep_) {
        restoreAll();
      }
    }
    AsideVersions(const AsideVersions&) = delete;
    AsideVersions& operator=(const AsideVersions&) = delete;

    void move(const std::string& fileName) {
      const std::string aside = asideFileName(fileName);
      const std::string from = dir_.pathOf(fileName);
      const std::string to = dir_.pathOf(aside);
      struct stat status {};
      if (::lstat(to.c_str(), &status) == 0) {
        throw RuleFileError::fromErrno(RuleFileError::Stage::Remove,
                                       fmt::format("переименование {} -> {}", from, to),
                                       EEXIST);
      }
      if (::rename(from.c_str(), to.c_str()) != 0) {
        throw RuleFileError::fromErrno(RuleFileError::Stage::Remove,
                                       fmt::format("переименование {} -> {}", from, to),
                                       errno);
      }
      moved_.push_back({fileName, aside});
    }

    void keepMoved() { keep_ = true; }

    void restore() noexcept {
      restoreAll();
      moved_.clear();
    }

    void discard() {
      for (const auto& [original, aside] : moved_) {
        const std::string path = dir_.pathOf(aside);
        if (::unlink(path.c_str()) != 0) {
          // Hidden from the rule engine; the next start removes it.
          dir_.reportFailure(fmt::format("удаление {}", path), errno);
        }
      }
    }

   private:
    void restoreAll() noexcept {
      for (auto it = moved_.rbegin(); it != moved_.rend(); ++it) {
        const std::string from = dir_.pathOf(it->second);
        const std::string to = dir_.pathOf(it->first);
        if (::rename(from.c_str(), to.c_str()) != 0) {
          // The next start puts it back.
          dir_.reportFailure(fmt::format("переименование {} -> {}", from, to), errno);
        }
      }
    }

    RuleDirectory& dir_;
    std::vector<std::pair<std::string, std::string>> moved_;  // original, aside
    bool keep_ = false;
  };

  // One new file is synced alone. Several are synced with one syncfs(): a
  // separate fsync() of each would flush the device's cache for each.
  void makeDurable(std::vector<Replacement>& batch, std::deque<PendingRuleFile>& pending) {
    std::size_t written = 0;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      written += !batch[i].error && pending[i].written() ? 1 : 0;
    }
    const int syncError = written > 1 ? syncWithDirectory(::syncfs) : 0;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      attempt(batch[i], [&] {
        if (!pending[i].written()) {
          return;
        }
        if (written == 1) {
          pending[i].sync();
        } else if (syncError != 0) {
          throw RuleFileError::fromErrno(
              RuleFileError::Stage::Create,
              fmt::format("синхронизация {}", pending[i].path()), syncError);
        } else {
          pending[i].close();
        }
      });
    }
  }

  template <typename Step>
  static void attempt(Replacement& replacement, Step step) {
    if (replacement.error) {
      return;
    }
    try {
      step();
    } catch (const RuleFileError& error) {
      replacement.error = error;
    }
  }

  void putInPlace(const Replacement& r, PendingRuleFile& file, AsideVersions& aside) {
    try {
      if (!r.text->empty()) {
        requireFreeName(*r.newFileName, *r.installed);
      }
      for (const InstalledVersion& version : *r.installed) {
        aside.move(version.fileName);
      }
      if (!r.text->empty()) {
        file.commit(pathOf(*r.newFileName));
      }
      aside.keepMoved();
    } catch (const RuleFileError&) {
      aside.restore();
      throw;
    }
  }

  // The installed versions of all rules are read from the directory once and
  // then kept up to date from inotify events, the service's own changes and
  // those of other parties alike, so that a lookup costs no directory scan
  // however many rules are installed. When the events cannot be had (no
  // inotify, the directory missing or replaced, the event queue overflowed),
  // the next lookup reads the directory again.
  void refreshIndex() {
    if (!indexCurrent_ || !applyEvents()) {
      rebuildIndex();
    }
  }

  // Reads the directory into the index and returns the listing.
  std::vector<Entry> rebuildIndex() {
    indexCurrent_ = false;
    // Watched before the listing, so that no change falls between the two;
    // events queued until now are superseded by the listing.
    watchDirectory();
    applyEvents();
    index_.clear();
    std::vector<Entry> entries = listEntries();
    for (const Entry& entry : entries) {
      addToIndex(entry);
    }
    indexCurrent_ = watch_ >= 0;
    return entries;
  }

  void watchDirectory() {
    if (!events_.valid()) {
      events_ = FileDescriptor(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    }
    if (events_.valid() && watch_ < 0) {
      watch_ = ::inotify_add_watch(events_.get(), path_.c_str(),
                                   IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                       IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
    }
  }

  void addToIndex(const Entry& entry) {
    auto name = parseInstalledFileName(entry.name);
    if (!name || !isRegularFile(entry)) {
      return;
    }
    auto& hashes = index_[name->rule];
    if (std::find(hashes.begin(), hashes.end(), name->hash) == hashes.end()) {
      hashes.push_back(std::move(name->hash));
    }
  }

  void removeFromIndex(const std::string& fileName) {
    const auto name = parseInstalledFileName(fileName);
    const auto found = name ? index_.find(name->rule) : index_.end();
    if (found == index_.end()) {
      return;
    }
    auto& hashes = found->second;
    hashes.erase(std::remove(hashes.begin(), hashes.end(), name->hash), hashes.end());
    if (hashes.empty()) {
      index_.erase(found);
    }
  }

  // Applies the queued events to the index; false when it lost track.
  bool applyEvents() {
    if (!events_.valid() || watch_ < 0) {
      return false;
    }
    alignas(inotify_event) char buffer[16 * 1024];
    bool tracking = true;
    for (;;) {
      const ssize_t got = ::read(events_.get(), buffer, sizeof buffer);
      if (got <= 0) {
        return tracking && (got == 0 || errno == EAGAIN);
      }
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        tracking = applyEvent(*event) && tracking;
      }
    }
  }

  bool applyEvent(const inotify_event& event) {
    if (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
      // The locked descriptor may now be of a directory that is gone.
      directoryReplaced_ = true;
      watch_ = -1;
      return false;
    }
    if (event.mask & IN_Q_OVERFLOW) {
      return false;
    }
    if (event.len == 0) {
      return true;
    }
    const std::string name = event.name;
    if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
      removeFromIndex(name);
    }
    if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
      addToIndex({name, DT_UNKNOWN});
    }
    return true;
  }

  std::vector<Entry> listEntries() const {
    std::vector<Entry> entries;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(path_.c_str()), closedir);
    if (!dir) {
      if (errno == ENOENT) {
        return entries;
      }
      throw RuleFileError::fromErrno(RuleFileError::Stage::Lookup,
                                     fmt::format("открытие каталога {}", path_), errno);
    }
    for (;;) {
      errno = 0;
      const dirent* entry = readdir(dir.get());
      if (entry == nullptr) {
        break;
      }
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") {
        entries.push_back({std::string(name), entry->d_type});
      }
    }
    if (errno != 0) {
      throw RuleFileError::fromErrno(RuleFileError::Stage::Lookup,
                                     fmt::format("чтение каталога {}", path_), errno);
    }
    return entries;
  }

  // A regular file, or a link to one.
  bool isRegularFile(const Entry& entry) const {
    if (entry.type == DT_REG) {
      return true;
    }
    if (entry.type != DT_LNK && entry.type != DT_UNKNOWN) {
      return false;
    }
    struct stat status {};
    return ::stat(pathOf(entry.name).c_str(), &status) == 0 && S_ISREG(status.st_mode);
  }

  // The new file's name must be free, or taken by one of the versions it
  // replaces: anything else there (a directory, a FIFO) is no rule of ours.
  void requireFreeName(const std::string& fileName,
                       const std::vector<InstalledVersion>& installed) const {
    const bool replaced =
        std::any_of(installed.begin(), installed.end(),
                    [&](const InstalledVersion& v) { return v.fileName == fileName; });
    struct stat status {};
    if (!replaced && ::lstat(pathOf(fileName).c_str(), &status) == 0) {
      throw RuleFileError(RuleFileError::Stage::Create,
                          fmt::format("создание {}", pathOf(fileName)),
                          "the name is taken by an entry that is not a rule file");
    }
  }

  // The locked directory's descriptor serves for syncing it; only without
  // the lock is it opened each time.
  template <typename Sync>
  int syncWithDirectory(Sync sync) const {
    if (lock_.valid() && !directoryReplaced_) {
      return sync(lock_.get()) == 0 ? 0 : errno;
    }
    FileDescriptor dir(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.valid() && sync(dir.get()) == 0 ? 0 : errno;
  }

  void syncDirectory() const {
    if (const int error = syncWithDirectory(::fsync); error != 0) {
      reportFailure(fmt::format("синхронизация каталога {}", path_), error);
    }
  }

  void removeLeftover(const std::string& fileName) const {
    const std::string path = pathOf(fileName);
    if (::unlink(path.c_str()) != 0) {
      reportFailure(fmt::format("удаление {}", path), errno);
      return;
    }
    TRACE_AS(kClientFunction, trace_, Warning,
             "Удалён файл %s, оставшийся от прерванной установки правила", path.c_str());
  }

  void restoreAside(const std::string& aside, const std::string& original) const {
    const std::string from = pathOf(aside);
    const std::string to = pathOf(original);
    if (::rename(from.c_str(), to.c_str()) != 0) {
      reportFailure(fmt::format("переименование {} -> {}", from, to), errno);
      return;
    }
    TRACE_AS(kClientFunction, trace_, Warning,
             "Прерванная замена правила: прежняя версия %s возвращена на место", to.c_str());
  }

  void reportFailure(const std::string& operation, int error) const {
    traceFileFailure(trace_, fmt::format("{}: {}", operation, systemErrorText(error)));
  }

  std::string path_;
  P7::TraceChannel& trace_;
  FileDescriptor lock_;
  FileDescriptor events_;
  int watch_ = -1;
  bool indexCurrent_ = false;
  bool directoryReplaced_ = false;
  // Rule name to the hashes of its installed versions: the file names
  // follow from them, and 10,000 rules cost little memory.
  std::unordered_map<std::string, std::vector<std::string>> index_;
};

}  // namespace

// The hash in the name of an installed file of rule `name`: the first
// regular file, in directory order, named exactly the rule name followed by
// "-__", decimal digits and "__.js". Empty when there is none or the rule
// directory does not exist; throws RuleFileError when it cannot be read.
std::string findHash(const std::string& name) {
  const auto versions = RuleDirectory(rules_dir, *P7::getTrace()).installedVersions(name);
  return versions.empty() ? std::string{} : versions.front().hash;
}

namespace {

// The rule timestamp: the number of the first of the first ten lines that is
// a timestamp comment ("// 1733550000"), 0 when none of them is.
long long extractEpochTsOrZero(const std::string& text) {
  std::size_t lineStart = 0;
  for (std::size_t read = 0;
       read < kTimestampLinesSearched && lineStart < text.size(); ++read) {
    const std::size_t lineEnd = std::min(text.find('\n', lineStart), text.size());
    const std::size_t lineLength = lineEnd - lineStart;
    lineStart = lineEnd + 1;
    if (lineLength > kMaxTimestampLineLength) {
      continue;
    }
    const std::string line = text.substr(lineEnd - lineLength, lineLength);
    std::smatch match;
    if (!std::regex_match(line, match, k_epoch_ts_re)) {
      continue;
    }
    try {
      return std::stoll(match[1].str());
    } catch (const std::out_of_range&) {
      // Too large for a timestamp: a later line may still carry one.
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Rule installation

const std::array<std::uint32_t, 256>& crcTable() {
  static std::array<std::uint32_t, 256> table;
  static bool inited = false;
  if (!inited) {
    for (std::uint32_t i = 0; i < table.size(); ++i) {
      std::uint32_t c = i;
      for (int step = 0; step < 8; ++step) {
        c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      }
      table[i] = c;
    }
    inited = true;
  }
  return table;
}

std::uint32_t crc32(const std::vector<char>& bytes) {
  if (bytes.empty()) {
    return 0;
  }
  const auto& table = crcTable();
  std::uint32_t c = 0xFFFFFFFFu;
  for (const char byte : bytes) {
    c = table[(c ^ static_cast<unsigned char>(byte)) & 0xFFu] ^ (c >> 8);
  }
  return c ^ 0xFFFFFFFFu;
}

long long currentEpochSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string ruleNameOf(const std::string& topic) {
  return topic.size() > kRulesTopicPrefix.size()
             ? topic.substr(kRulesTopicPrefix.size())
             : std::string{};
}

// A rule name must make a file name for every text it may carry: a name
// that installs for some texts and not for others would be a trap.
void checkRuleName(const std::string& name) {
  if (name.empty()) {
    throw RuleRefused("the rule name is empty");
  }
  if (name.find('\0') != std::string::npos) {
    throw RuleRefused("the rule name contains a NUL byte");
  }
  if (name.size() > kMaxRuleNameLength) {
    throw RuleRefused(fmt::format(
        "the rule name is {} bytes long; its file name would exceed {} bytes "
        "(names of at most {} bytes fit)",
        name.size(), kMaxFileNameLength, kMaxRuleNameLength));
  }
}

// How one rule message ended.
struct RuleOutcome {
  enum class Kind { Installed, Cleared, Unchanged, Outdated, Rejected, Failed };
  Kind kind;
  std::string reason;  // for Rejected, Failed and Outdated
  std::string file;    // for Installed: the installed file's name
};

// Records the hash of the rule's newest text; traces when it is new or changed.
void rememberRuleHash(P7::TraceChannel& trace, const std::string& name,
                      std::size_t ruleHash, const std::string& translated) {
  const auto [entry, inserted] = m_current_rules.try_emplace(name, ruleHash);
  if (inserted) {
    TRACE_AS(kClientFunction, trace, Info, "Запоминаем хеш для %s: %zu",
             name.c_str(), ruleHash);
    TRACE_AS(kClientFunction, trace, Info, "%s:%s", name.c_str(),
             translated.c_str());
  } else if (entry->second != ruleHash) {
    TRACE_AS(kClientFunction, trace, Info, "Обновляем хеш для %s: %zu",
             name.c_str(), ruleHash);
    TRACE_AS(kClientFunction, trace, Info, "%s:%s", name.c_str(),
             translated.c_str());
    entry->second = ruleHash;
  }
}

// The newest rule timestamp among the installed versions, 0 when none of
// them carries one (or none can be read).
long long installedTimestamp(const RuleDirectory& dir,
                             const std::vector<InstalledVersion>& versions) {
  long long newest = 0;
  for (const InstalledVersion& version : versions) {
    if (const auto head = dir.readHead(version.fileName)) {
      newest = std::max(newest, extractEpochTsOrZero(*head));
    }
  }
  return newest;
}

void traceOutdated(P7::TraceChannel& trace, const std::string& name,
                   long long newTimestamp, long long oldTimestamp) {
  TRACE_AS(kClientFunction, trace, Warning,
           "Правило %s: новый ts %lld не новее старого %lld — пропускаем обновление.",
           name.c_str(), newTimestamp, oldTimestamp);
  TRACE_AS(kClientFunction, trace, Info,
           "Правило %s: обновление пропущено (устаревший timestamp).",
           name.c_str());
}

void sendStatus(mosquitto::MqttAsyncWrapper& client, P7::TraceChannel& trace,
                const std::string& name, const std::string& statusTopic,
                const std::string& statusPayload) {
  try {
    client.Send(statusTopic, statusPayload, mosquitto::Qos::AtLeastOnce, true);
  } catch (const std::runtime_error& error) {
    TRACE_AS(kClientFunction, trace, Error,
             "Правило %s установлено, но статус не отправлен: %s", name.c_str(),
             error.what());
  }
}

// The leading record of a failed replacement; the system's reason follows.
void traceReplaceFailure(P7::TraceChannel& trace, const std::string& newPath,
                         const RuleFileError& error) {
  if (error.stage() == RuleFileError::Stage::Create) {
    TRACE_AS(kClientFunction, *P7::getTrace(), Error, "Create error %s", newPath.c_str());
  } else if (error.stage() == RuleFileError::Stage::Remove) {
    TRACE_AS(kClientFunction, trace, Error,
             "Ошибка очистки старых правил для wb-rules: %d", error.code());
  }
}

// A rule message in hand: what arrived, and what was decided about it.
struct RuleJob {
  std::string name;
  std::vector<char> payload;  // released once translated
  std::uint32_t crc = 0;
  RuleOutcome outcome{RuleOutcome::Kind::Failed, {}, {}};  // final unless `replacing`
  bool replacing = false;
  std::vector<InstalledVersion> installed;
  std::string fileName;
  std::string translated;
};

// The translated text of the job's payload. The payload is released on the
// way, so that a large rule is held at most twice.
std::string translatePayload(RuleJob& job) {
  std::string text(job.payload.begin(), job.payload.end());
  std::vector<char>().swap(job.payload);
  return translate(std::move(text));
}

// Records of a rule text show at most this much of it.
constexpr std::size_t kMaxRuleTextInRecord = 1024 * 1024;

// Decides what to do with a rule message: everything up to, not including,
// the replacement of its file. Throws like installation does.
void decideRule(P7::TraceChannel& trace, RuleDirectory& dir, RuleJob& job) {
  checkRuleName(job.name);
  job.translated = translatePayload(job);
  const std::size_t ruleHash = std::hash<std::string>{}(job.translated);
  rememberRuleHash(trace, job.name, ruleHash,
                   excerpt(job.translated, kMaxRuleTextInRecord));
  job.installed = dir.installedVersions(job.name);
  const std::string ruleHashText = fmt::format("{}", ruleHash);
  // The very text installed is unchanged whatever its timestamp says, so
  // that sending a rule again (after a lost result) is always harmless.
  if (job.installed.size() == 1 && job.installed.front().hash == ruleHashText) {
    TRACE_AS(kClientFunction, trace, Info,
             "Хеш для %s (%zu) не изменился. Не обновляем.", job.name.c_str(),
             ruleHash);
    job.outcome = {RuleOutcome::Kind::Unchanged, {}, {}};
    return;
  }
  long long newTimestamp = extractEpochTsOrZero(job.translated);
  if (newTimestamp < 1) {
    newTimestamp = currentEpochSeconds();
  }
  const long long oldTimestamp = installedTimestamp(dir, job.installed);
  if (oldTimestamp > 0 && newTimestamp <= oldTimestamp) {
    traceOutdated(trace, job.name, newTimestamp, oldTimestamp);
    job.outcome = {RuleOutcome::Kind::Outdated,
                   fmt::format("the installed version has the timestamp {}, this one {}",
                               oldTimestamp, newTimestamp),
                   {}};
    return;
  }
  TRACE_AS(kClientFunction, trace, Info,
           "Новый хеш для %s (%zu). Перезаписываем скрипт.", job.name.c_str(),
           ruleHash);
  job.fileName = installedFileName(job.name, ruleHashText);
  job.replacing = true;
}

// decideRule for a message that must end, whatever happens, with an outcome;
// every failure is in the trace log.
void decideReportingFailures(P7::TraceChannel& trace, RuleDirectory& dir, RuleJob& job) {
  const std::string& name = job.name;
  try {
    decideRule(trace, dir, job);
  } catch (const RuleRefused& error) {
    TRACE_AS(kClientFunction, trace, Error, "Правило %s отклонено: %s",
             excerpt(name, kMaxErrorTextInRecord).c_str(), error.what());
    job.outcome = {RuleOutcome::Kind::Rejected, error.what(), {}};
  } catch (const UnresolvedPlaceholder& error) {
    TRACE_AS(kClientFunction, trace, Error, "Ошибка обработки правила для %s: %s\n",
             name.c_str(), error.what());
    job.outcome = {RuleOutcome::Kind::Rejected,
                   fmt::format("the placeholder key \"{}\" cannot be resolved", error.key()),
                   {}};
  } catch (const RuleFileError& error) {
    traceFileFailure(trace, error.what());
    job.outcome = {RuleOutcome::Kind::Failed, error.reason(), {}};
  } catch (const std::runtime_error& error) {
    TRACE_AS(kClientFunction, trace, Error, "Ошибка обработки правила для %s: %s\n",
             name.c_str(), excerpt(error.what(), kMaxErrorTextInRecord).c_str());
    job.outcome = {RuleOutcome::Kind::Failed, error.what(), {}};
  }
}

// Puts the decided new versions in place together; each job ends installed,
// cleared or failed.
void replaceDecided(P7::TraceChannel& trace, RuleDirectory& dir, std::vector<RuleJob>& jobs) {
  std::vector<RuleDirectory::Replacement> replacements;
  std::vector<RuleJob*> replacing;
  for (RuleJob& job : jobs) {
    if (job.replacing) {
      replacements.push_back({&job.installed, &job.fileName, &job.translated, std::nullopt});
      replacing.push_back(&job);
    }
  }
  if (replacements.empty()) {
    return;
  }
  dir.replace(replacements);
  for (std::size_t i = 0; i < replacing.size(); ++i) {
    RuleJob& job = *replacing[i];
    if (const auto& error = replacements[i].error) {
      traceReplaceFailure(trace, dir.pathOf(job.fileName), *error);
      traceFileFailure(trace, error->what());
      job.outcome = {RuleOutcome::Kind::Failed, error->reason(), {}};
    } else if (job.translated.empty()) {
      job.outcome = {RuleOutcome::Kind::Cleared, {}, {}};
    } else {
      job.outcome = {RuleOutcome::Kind::Installed, {}, job.fileName};
    }
  }
}

const char* outcomeName(RuleOutcome::Kind kind) {
  switch (kind) {
    case RuleOutcome::Kind::Installed: return "installed";
    case RuleOutcome::Kind::Cleared: return "cleared";
    case RuleOutcome::Kind::Unchanged: return "unchanged";
    case RuleOutcome::Kind::Outdated: return "outdated";
    case RuleOutcome::Kind::Rejected: return "rejected";
    case RuleOutcome::Kind::Failed: return "failed";
  }
  return "failed";
}

// Names and reasons are arbitrary bytes; the JSON text gets U+FFFD in place
// of whatever is not UTF-8.
std::string jsonText(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string ruleResultPayload(std::uint32_t crc, const RuleOutcome& outcome) {
  nlohmann::json result = {{"crc", crc}, {"outcome", outcomeName(outcome.kind)}};
  if (!outcome.reason.empty()) {
    result["reason"] = outcome.reason;
  }
  if (!outcome.file.empty()) {
    result["file"] = outcome.file;
  }
  return jsonText(result);
}

// Results tell the publisher what happened; one that cannot be sent costs
// only a record.
void sendResult(mosquitto::MqttAsyncWrapper& client, P7::TraceChannel& trace,
                const std::string& topic, const std::string& payload) {
  try {
    client.Send(topic, payload, mosquitto::Qos::AtLeastOnce, false);
  } catch (const std::runtime_error& error) {
    TRACE_AS(kClientFunction, trace, Error, "Результат не отправлен в %s: %s",
             topic.c_str(), error.what());
  }
}

// Handles rule messages (of distinct rule names) to their end, in order, as
// if one after the other, except that their new files are made durable
// together. A status goes out only once its file is durable, then the
// result of every message.
void handleRuleBatch(mosquitto::MqttAsyncWrapper& client, P7::TraceChannel& trace,
                     RuleDirectory& dir, std::vector<RuleJob>& jobs) {
  {
    std::lock_guard<std::mutex> lock(m_current_rules_mutex);
    for (RuleJob& job : jobs) {
      job.crc = crc32(job.payload);
      decideReportingFailures(trace, dir, job);
    }
    replaceDecided(trace, dir, jobs);
  }
  for (const RuleJob& job : jobs) {
    const auto kind = job.outcome.kind;
    if (kind == RuleOutcome::Kind::Installed || kind == RuleOutcome::Kind::Cleared) {
      sendStatus(client, trace, job.name, kStatusTopicPrefix + job.name,
                 fmt::format("{}", job.crc));
    }
    sendResult(client, trace, kRuleResultTopicPrefix + job.name,
               ruleResultPayload(job.crc, job.outcome));
  }
}

// ---------------------------------------------------------------------------
// Configuration intake

// Throws when arrays and objects in the JSON text nest deeper than `limit`.
// Counted on the text, before parsing: copying or printing a parsed document
// recurses once per level, and the IO structure never needs many.
void requireNestingWithin(std::string_view text, std::size_t limit) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) {
        throw std::runtime_error(fmt::format(
            "the configuration nests arrays and objects deeper than {} levels", limit));
      }
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
}

// The IO structure of a configuration text. Throws, with a message that
// quotes at most an excerpt of the text, when it is not one. The parsed
// document is handed over whole, so that each element's part of it is freed
// as soon as the element is built.
IoStructure parseConfiguration(std::string_view text, TemplateCacheCleanupGuard& guard) {
  requireNestingWithin(text, kMaxConfigurationDepth);
  return parseIoStructure<IoInfo>(nlohmann::json::parse(text.begin(), text.end()), guard,
                                  false);
}

// True when the configuration was taken over, false when it was the same
// as the last one.
bool handleConfiguration(const std::vector<char>& payload,
                         mosquitto::MqttAsyncWrapper& client,
                         bool& need_rules_subscription) {
  const std::string_view text(payload.data(), payload.size());
  const std::size_t payloadHash = std::hash<std::string_view>{}(text);
  if (payloadHash == m_structure_hash) {
    return false;
  }
  // Declared first so that the cache is emptied and memory trimmed only
  // after the document and the old structure are gone.
  TemplateCacheCleanupGuard guard{true};
  IoStructure structure = parseConfiguration(text, guard);
  // Subscribed before anything changes, so that a failure leaves the
  // structure, its hash and the subscription state in agreement.
  if (need_rules_subscription) {
    client.Subscribe(kRulesTopicFilter, mosquitto::Qos::AtMostOnce, false,
                     nullptr, nullptr);
  }
  m_configuration = std::move(structure);
  m_structure_hash = payloadHash;
  need_rules_subscription = false;
  return true;
}

// Configuration intake that reports its outcome, also to the publisher.
void takeConfiguration(const std::vector<char>& payload, mosquitto::MqttAsyncWrapper& client,
                       P7::TraceChannel& trace, bool& need_rules_subscription) {
  nlohmann::json result;
  try {
    result["outcome"] =
        handleConfiguration(payload, client, need_rules_subscription) ? "accepted" : "unchanged";
  } catch (const std::exception& error) {
    const std::string reason = excerpt(error.what(), kMaxErrorTextInRecord);
    TRACE_AS(kClientFunction, trace, Error, "Ошибка обработки конфигурации: %s",
             reason.c_str());
    result["outcome"] = "rejected";
    result["reason"] = reason;
  }
  result["elements"] = m_configuration.size();
  sendResult(client, trace, kConfigurationResultTopic, jsonText(result));
}

// ---------------------------------------------------------------------------
// Start and stop

// SIGTERM and SIGINT ask the service to stop. They are blocked in every
// thread (the mask is set before the MQTT client starts its threads, which
// inherit it), so they wait until the receive loop takes them between two
// messages: a replacement is never cut off half-way.
sigset_t stopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  return signals;
}

// The stop signal waiting to be taken, or 0.
int takeStopSignal() {
  const sigset_t signals = stopSignals();
  const timespec noWait{};
  const int signal = sigtimedwait(&signals, nullptr, &noWait);
  return signal > 0 ? signal : 0;
}

// Rule messages already waiting are handled together, up to these bounds.
constexpr std::size_t kMaxBatchMessages = 256;
constexpr std::size_t kMaxBatchBytes = 8 * 1024 * 1024;
// After messages this large, free heap goes back to the system.
constexpr std::size_t kTrimAfterBytes = 1024 * 1024;

RuleJob jobOf(mosquitto::Message&& message) {
  RuleJob job;
  job.name = ruleNameOf(message.topic);
  job.payload = std::move(message.payload);
  return job;
}

// Rule messages that are already waiting behind `first`, as long as each
// names another rule (two versions of one rule go in separate batches, so
// that the second is decided against the first) and the bounds allow.
// The message that ends the batch is handed back in `next`.
std::vector<RuleJob> collectBatch(mosquitto::MqttAsyncWrapper& client, mosquitto::Message first,
                                  std::optional<mosquitto::Message>& next, std::size_t& bytes) {
  std::vector<RuleJob> batch;
  bytes = first.payload.size();
  std::unordered_set<std::string> names{ruleNameOf(first.topic)};
  batch.push_back(jobOf(std::move(first)));
  while (batch.size() < kMaxBatchMessages && bytes < kMaxBatchBytes) {
    std::optional<mosquitto::Message> message =
        client.TryReceive("/#", std::chrono::milliseconds(0));
    if (!message) {
      break;
    }
    if (message->topic == kConfigurationTopic ||
        !names.insert(ruleNameOf(message->topic)).second) {
      next = std::move(message);
      break;
    }
    bytes += message->payload.size();
    batch.push_back(jobOf(std::move(*message)));
  }
  return batch;
}

void prepareRuleDirectory(RuleDirectory& dir, P7::TraceChannel& trace) {
  try {
    if (!dir.tryLock()) {
      TRACE_AS(kClientFunction, trace, Error,
               "Каталог правил %s занят другим запущенным экземпляром сервиса; "
               "этот экземпляр завершается",
               dir.path().c_str());
      throw AnotherInstanceRunning(
          fmt::format("another instance holds the rule directory {}", dir.path()));
    }
  } catch (const RuleFileError& error) {
    // Rules then fail one by one with their own records, until it is back.
    traceFileFailure(trace, error.what());
    return;
  }
  dir.sweepLeftovers();
}

// Link trouble and recovery go to the trace log as they happen.
void traceLinkEvent(P7::TraceChannel& trace, const mosquitto::LinkEvent& event) {
  using Kind = mosquitto::LinkEvent::Kind;
  switch (event.kind) {
    case Kind::Connected:
      TRACE_AS(kClientFunction, trace, Info, "Соединение с брокером установлено: %s",
               event.text.c_str());
      break;
    case Kind::ConnectFailed:
      TRACE_AS(kClientFunction, trace, Warning, "Не удалось подключиться к брокеру: %s",
               event.text.c_str());
      break;
    case Kind::ConnectionLost:
      TRACE_AS(kClientFunction, trace, Warning, "Соединение с брокером потеряно: %s",
               event.text.c_str());
      break;
    case Kind::Error:
      TRACE_AS(kClientFunction, trace, Error, "Ошибка MQTT: %s", event.text.c_str());
      break;
  }
}

// The retained state on kStateTopic that tells publishers whether a rule
// published now is heard: "waiting" for the first configuration, "ready"
// once the broker acknowledged the rules subscription of this connection,
// "offline" (the will, and on a clean stop) when not. Announced once per
// connection, from the receive loop's thread.
class ServiceState {
 public:
  explicit ServiceState(mosquitto::MqttAsyncWrapper& client) : client_(client) {
    client_.SetWill(kStateTopic, "offline", mosquitto::Qos::AtLeastOnce, true);
  }

  void update(bool configured) {
    const mosquitto::LinkState link = client_.Link();
    if (!link.connected) {
      return;
    }
    if (link.connection != connection_) {
      connection_ = link.connection;
      announced_.clear();
    }
    if (!configured) {
      announce("waiting");
    } else if (client_.Acknowledged(kRulesTopicFilter, link.connection)) {
      announce("ready");
    }
  }

  void announceStop() {
    if (client_.Link().connected) {
      announced_.clear();
      announce("offline");
    }
  }

 private:
  void announce(const std::string& state) {
    if (announced_ == state) {
      return;
    }
    try {
      client_.Send(kStateTopic, state, mosquitto::Qos::AtLeastOnce, true);
      announced_ = state;
    } catch (const std::runtime_error& error) {
      TRACE_AS(kClientFunction, *P7::getTrace(), Error, "Состояние %s не отправлено: %s",
               state.c_str(), error.what());
    }
  }

  mosquitto::MqttAsyncWrapper& client_;
  std::uint64_t connection_ = 0;
  std::string announced_;
};

}  // namespace

// Called first thing in main, before any thread exists.
void blockStopSignals() {
  const sigset_t signals = stopSignals();
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

// The service's working life: takes the rule directory, connects, takes over
// configurations and installs rules, one message at a time, until SIGTERM or
// SIGINT. Throws AnotherInstanceRunning when another instance of the service
// holds the rule directory.
void add_rule_client_run() {
  P7::TraceChannel& trace = *P7::getTrace();
  RuleDirectory directory(rules_dir, trace);
  prepareRuleDirectory(directory, trace);
  auto client = std::make_unique<mosquitto::MqttAsyncWrapper>(
      fmt::format("regulations_manager_{}", getpid()));
  client->SetEventListener(
      [&trace](const mosquitto::LinkEvent& event) { traceLinkEvent(trace, event); });
  ServiceState state(*client);
  client->Connect(true, nullptr, nullptr);
  client->Subscribe(kConfigurationTopic, mosquitto::Qos::AtMostOnce, false,
                    nullptr, nullptr);
  bool need_rules_subscription = true;

  std::optional<mosquitto::Message> next;
  int signal = 0;
  while ((signal = takeStopSignal()) == 0) {
    state.update(!need_rules_subscription);
    std::optional<mosquitto::Message> message = std::move(next);
    next.reset();
    if (!message) {
      message = client->TryReceive("/#", std::chrono::milliseconds(kStopPollMs));
    }
    if (!message) {
      continue;
    }
    std::size_t bytes = message->payload.size();
    if (message->topic == kConfigurationTopic) {
      takeConfiguration(message->payload, *client, trace, need_rules_subscription);
    } else {
      std::vector<RuleJob> batch = collectBatch(*client, std::move(*message), next, bytes);
      handleRuleBatch(*client, trace, directory, batch);
    }
    message.reset();
    if (bytes > kTrimAfterBytes) {
      malloc_trim(0);
    }
  }
  TRACE_AS(__func__, trace, Info, "Получен сигнал %s, сервис останавливается",
           strsignal(signal));
  state.announceStop();
}

}  // namespace talvoro

#ifndef RULES_PREPROCESSOR_NO_MAIN
int main(int /*argc*/, char** argv) {
  talvoro::blockStopSignals();
  {
    const std::string channel(P7::MainTrace);
    // Without a program path the log still gets a directory of its own.
    const char* programPath = argv[0] != nullptr ? argv[0] : "rules-preprocessor";
    std::string options = fmt::format(
        "/P7.Sink=FileTxt /P7.Dir=/var/log/p7/{} /P7.Roll=24hr /P7.Files=3 "
        "/P7.FSize=10 /P7.Trc.Verb=2",
        programPath);
    P7::TraceChannel* trace = P7::LoggerInit(channel, std::move(options));
    TRACE_AS(__func__, *trace, Info, "Version %s", RULES_PREPROCESSOR_VERSION);
  }
  try {
    talvoro::add_rule_client_run();
  } catch (const talvoro::AnotherInstanceRunning&) {
    return 1;  // already said in the trace log
  } catch (const std::exception& error) {
    // Exit with a failure so that the supervisor restarts the service.
    TRACE_AS(__func__, *P7::getTrace(), Error, "Аварийное завершение: %s",
             error.what());
    return 1;
  } catch (...) {
    TRACE_AS(__func__, *P7::getTrace(), Error, "%s",
             "Аварийное завершение: неизвестное исключение");
    return 1;
  }
  return 0;
}
#endif
