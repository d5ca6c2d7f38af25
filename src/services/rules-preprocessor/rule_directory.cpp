#include "rule_directory.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "rule_names.h"
#include "service_trace.h"

namespace talvoro {

void traceFileFailure(P7::TraceChannel& trace, const std::string& failure) {
  TRACE_AS(kClientFunction, trace, Error, "Ошибка файловой операции: %s", failure.c_str());
}

// A new rule file being written under a name the rule engine ignores. It is
// removed again unless it was committed under its final name, so a failed
// write never leaves a half-written rule behind.
class RuleDirectory::PendingFile {
 public:
  explicit PendingFile(const std::string& dir) : dir_(dir) {}
  ~PendingFile() {
    if (!path_.empty()) {
      ::unlink(path_.c_str());
    }
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

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

  // Starts writing the file's data out without waiting for it; errors are
  // left to sync().
  void startWriteback() { ::sync_file_range(fd_.get(), 0, 0, SYNC_FILE_RANGE_WRITE); }

  // Makes the file's data durable and closes it. The error is this file's
  // own, whichever other files were written meanwhile.
  void sync() {
    if (::fsync(fd_.get()) != 0 || !fd_.close()) {
      throw createError("синхронизация", path_);
    }
  }

  bool written() const { return fd_.valid(); }

  // Moves the file to `finalPath`; the caller syncs the directory.
  void commit(const std::string& finalPath) {
    if (::rename(path_.c_str(), finalPath.c_str()) != 0) {
      throw createError("переименование", fmt::format("{} -> {}", path_, finalPath));
    }
    path_.clear();
    committed_ = finalPath;
  }

  // Takes a committed file out again; false (errno set) when it stays.
  bool uncommit() {
    if (committed_.empty()) {
      return true;
    }
    return ::unlink(std::exchange(committed_, {}).c_str()) == 0;
  }

  const std::string& committedPath() const { return committed_; }

 private:
  static RuleFileError createError(const std::string& operation, const std::string& path) {
    return RuleFileError::fromErrno(RuleFileError::Stage::Create,
                                    fmt::format("{} {}", operation, path), errno);
  }

  std::string dir_;
  std::string path_;
  std::string committed_;
  FileDescriptor fd_;
};

// Installed versions moved out of the way under hidden names; put back
// unless the replacement went through.
class RuleDirectory::AsideVersions {
 public:
  explicit AsideVersions(const RuleDirectory& dir) : dir_(dir) {}
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
    const std::string operation = fmt::format("переименование {} -> {}", from, to);
    struct stat status {};
    if (::lstat(to.c_str(), &status) == 0) {
      throw RuleFileError::fromErrno(RuleFileError::Stage::Remove, operation, EEXIST);
    }
    if (::rename(from.c_str(), to.c_str()) != 0) {
      throw RuleFileError::fromErrno(RuleFileError::Stage::Remove, operation, errno);
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

  const RuleDirectory& dir_;
  std::vector<std::pair<std::string, std::string>> moved_;  // original, aside
  bool keep_ = false;
};

namespace {

// Runs one step of a replacement unless an earlier one failed; a failure
// is kept with the replacement.
template <typename Step>
void attempt(RuleDirectory::Replacement& replacement, Step step) {
  if (replacement.error) {
    return;
  }
  try {
    step();
  } catch (const RuleFileError& error) {
    replacement.error = error;
  }
}

}  // namespace

RuleDirectory::RuleDirectory(std::string path, P7::TraceChannel& trace)
    : path_(std::move(path)), trace_(trace), index_(path_) {}

RuleDirectory::~RuleDirectory() = default;

bool RuleDirectory::tryLock() {
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

void RuleDirectory::takeOver() {
  try {
    if (!tryLock()) {
      TRACE_AS(kClientFunction, trace_, Error,
               "Каталог правил %s занят другим запущенным экземпляром сервиса; "
               "этот экземпляр завершается",
               path_.c_str());
      throw AnotherInstanceRunning(
          fmt::format("another instance holds the rule directory {}", path_));
    }
  } catch (const RuleFileError& error) {
    traceFileFailure(trace_, error.what());
    return;
  }
  sweepLeftovers();
}

void RuleDirectory::sweepLeftovers() {
  std::vector<DirectoryEntry> entries;
  try {
    entries = index_.rebuild();
  } catch (const RuleFileError& error) {
    traceFileFailure(trace_, error.what());
    return;
  }
  // Decided on the listing: the changes made here reach the index later.
  for (const DirectoryEntry& entry : entries) {
    if (!index_.isRegularFile(entry)) {
      continue;
    }
    if (isPendingFileName(entry.name)) {
      removeLeftover(entry.name);
    } else if (const std::string original = installedNameOfAside(entry.name);
               !original.empty()) {
      const bool replaced = index_.has(parseInstalledFileName(original)->rule);
      replaced ? removeLeftover(entry.name) : restoreAside(entry.name, original);
    }
  }
}

std::vector<InstalledVersion> RuleDirectory::installedVersions(const std::string& name) {
  std::vector<InstalledVersion> versions;
  for (std::string& hash : index_.hashesOf(name)) {
    versions.push_back({installedFileName(name, hash), std::move(hash)});
  }
  return versions;
}

std::string RuleDirectory::findHash(const std::string& name) {
  const std::vector<std::string> hashes = index_.hashesOf(name);
  return hashes.empty() ? std::string{} : hashes.front();
}

std::optional<std::string> RuleDirectory::readHead(const std::string& fileName) const {
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

bool RuleDirectory::holds(const std::string& fileName, const std::string& text) const {
  FileDescriptor fd(::open(pathOf(fileName).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      static_cast<std::size_t>(status.st_size) != text.size()) {
    return false;
  }
  char buffer[64 * 1024];
  std::size_t compared = 0;
  while (compared < text.size()) {
    const ssize_t n = ::read(fd.get(), buffer, std::min(sizeof buffer, text.size() - compared));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0 || text.compare(compared, static_cast<std::size_t>(n), buffer,
                               static_cast<std::size_t>(n)) != 0) {
      return false;
    }
    compared += static_cast<std::size_t>(n);
  }
  return true;
}

void RuleDirectory::replace(const std::vector<InstalledVersion>& installed,
                            const std::string& newFileName, const std::string& text) {
  std::vector<Replacement> one{{&installed, &newFileName, &text, std::nullopt}};
  replace(one);
  if (one.front().error) {
    throw *one.front().error;
  }
}

void RuleDirectory::replace(std::vector<Replacement>& batch) {
  std::deque<PendingFile> pending;
  std::deque<AsideVersions> aside;
  for (Replacement& r : batch) {
    PendingFile& file = pending.emplace_back(path_);
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
  if (const int error = syncDirectory(); error != 0) {
    // Renames that may not survive a power cut must not be acknowledged.
    reportFailure(fmt::format("синхронизация каталога {}", path_), error);
    undo(batch, pending, aside,
         RuleFileError::fromErrno(RuleFileError::Stage::Create,
                                  fmt::format("синхронизация каталога {}", path_), error));
    return;
  }
  for (std::size_t i = 0; i < batch.size(); ++i) {
    if (!batch[i].error) {
      aside[i].discard();
    }
  }
}

// Takes back every replacement of the batch that went through: its new file
// goes and its installed versions return. Each ends with `error`.
void RuleDirectory::undo(std::vector<Replacement>& batch, std::deque<PendingFile>& pending,
                         std::deque<AsideVersions>& aside, const RuleFileError& error) {
  for (std::size_t i = batch.size(); i-- > 0;) {
    if (batch[i].error) {
      continue;
    }
    if (!pending[i].uncommit()) {
      reportFailure(fmt::format("удаление {}", pending[i].committedPath()), errno);
    }
    aside[i].restore();
    batch[i].error = error;
  }
  if (const int again = syncDirectory(); again != 0) {
    reportFailure(fmt::format("синхронизация каталога {}", path_), again);
  }
}

// Each new file is made durable by a sync of its own, whose error is that
// file's alone. The writeback of all of them is started first, so that the
// first file's sync commits the others' blocks in the same journal
// transaction and each later sync finds little left to do. (One syncfs()
// instead costs a device flush more per batch, and its error names no file.)
void RuleDirectory::makeDurable(std::vector<Replacement>& batch,
                                std::deque<PendingFile>& pending) {
  std::size_t written = 0;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    written += !batch[i].error && pending[i].written() ? 1 : 0;
  }
  if (written > 1) {
    for (std::size_t i = 0; i < batch.size(); ++i) {
      if (!batch[i].error && pending[i].written()) {
        pending[i].startWriteback();
      }
    }
  }
  for (std::size_t i = 0; i < batch.size(); ++i) {
    attempt(batch[i], [&] {
      if (pending[i].written()) {
        pending[i].sync();
      }
    });
  }
}

void RuleDirectory::putInPlace(const Replacement& r, PendingFile& file, AsideVersions& aside) {
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

// The new file's name must be free, or taken by one of the versions it
// replaces: anything else there (a directory, a FIFO) is no rule of ours.
void RuleDirectory::requireFreeName(const std::string& fileName,
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
// the lock is it opened each time. Returns 0 or the errno value.
int RuleDirectory::syncDirectory() const {
  if (lock_.valid() && !index_.directoryReplaced()) {
    return ::fsync(lock_.get()) == 0 ? 0 : errno;
  }
  FileDescriptor dir(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir.valid() && ::fsync(dir.get()) == 0 ? 0 : errno;
}

void RuleDirectory::removeLeftover(const std::string& fileName) const {
  const std::string path = pathOf(fileName);
  if (::unlink(path.c_str()) != 0) {
    reportFailure(fmt::format("удаление {}", path), errno);
    return;
  }
  TRACE_AS(kClientFunction, trace_, Warning,
           "Удалён файл %s, оставшийся от прерванной установки правила", path.c_str());
}

void RuleDirectory::restoreAside(const std::string& aside, const std::string& original) const {
  const std::string from = pathOf(aside);
  const std::string to = pathOf(original);
  if (::rename(from.c_str(), to.c_str()) != 0) {
    reportFailure(fmt::format("переименование {} -> {}", from, to), errno);
    return;
  }
  TRACE_AS(kClientFunction, trace_, Warning,
           "Прерванная замена правила: прежняя версия %s возвращена на место", to.c_str());
}

void RuleDirectory::reportFailure(const std::string& operation, int error) const {
  traceFileFailure(trace_, fmt::format("{}: {}", operation, systemErrorText(error)));
}

}  // namespace talvoro
