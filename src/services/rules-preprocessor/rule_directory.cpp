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
#include "talvoro/files/file_read.h"

namespace talvoro {

void traceFileFailure(P7::TraceChannel& trace, const std::string& failure) {
  TRACE_AS(kClientFunction, trace, Error, "Ошибка файловой операции: %s", failure.c_str());
}

RuleDirectory::RuleDirectory(std::string path, P7::TraceChannel& trace)
    : path_(std::move(path)), trace_(trace), index_(path_) {}

RuleDirectory::~RuleDirectory() = default;

bool RuleDirectory::tryLock() {
  files::FileDescriptor dir(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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

void RuleDirectory::traceAnotherInstance() const {
  TRACE_AS(kClientFunction, trace_, Error,
           "Каталог правил %s занят другим запущенным экземпляром сервиса; "
           "этот экземпляр завершается",
           path_.c_str());
}

void RuleDirectory::takeOver() {
  try {
    if (!tryLock()) {
      traceAnotherInstance();
      throw AnotherInstanceRunning(
          fmt::format("another instance holds the rule directory {}", path_));
    }
  } catch (const RuleFileError& error) {
    traceFileFailure(trace_, error.what());
    return;
  }
  sweepLeftovers();
}

// Silent while the directory cannot be opened: takeOver() said so once.
void RuleDirectory::keepLocked() {
  if (lockOnCurrentDirectory()) {
    return;
  }
  try {
    if (!tryLock()) {
      traceAnotherInstance();
      throw AnotherInstanceRunning(
          fmt::format("another instance holds the rule directory {}", path_));
    }
  } catch (const RuleFileError&) {
    return;
  }
  TRACE_AS(kClientFunction, trace_, Warning, "Каталог правил %s заблокирован этим экземпляром",
           path_.c_str());
  sweepLeftovers();
}

// The lock guards the directory now at the path only while it is the one
// locked: a directory moved away and replaced is another one.
bool RuleDirectory::lockOnCurrentDirectory() const {
  struct stat locked {};
  struct stat current {};
  return lock_.valid() && ::fstat(lock_.get(), &locked) == 0 &&
         ::stat(path_.c_str(), &current) == 0 && locked.st_dev == current.st_dev &&
         locked.st_ino == current.st_ino;
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
  syncDirectory();
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
  try {
    const std::string path = pathOf(fileName);
    return files::readUpTo(files::openRegularFile(path).get(), kMaxInstalledHeadBytes, path);
  } catch (const files::FileError&) {
    return std::nullopt;
  }
}

bool RuleDirectory::holds(const std::string& fileName, const std::string& text) const {
  files::FileDescriptor fd;
  struct stat status {};
  try {
    fd = files::openRegularFile(pathOf(fileName));
  } catch (const files::FileError&) {
    return false;
  }
  if (::fstat(fd.get(), &status) != 0 || static_cast<std::size_t>(status.st_size) != text.size()) {
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

// The locked directory's descriptor serves for syncing it; only without
// the lock is it opened each time.
int RuleDirectory::syncDirectory() {
  int error = 0;
  if (lockOnCurrentDirectory()) {
    error = ::fsync(lock_.get()) == 0 ? 0 : errno;
  } else {
    files::FileDescriptor dir(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    error = dir.valid() && ::fsync(dir.get()) == 0 ? 0 : errno;
  }
  unsynced_ = error != 0;
  if (error != 0) {
    reportFailure(fmt::format("синхронизация каталога {}", path_), error);
  }
  return error;
}

void RuleDirectory::removeLeftover(const std::string& fileName) {
  const std::string path = pathOf(fileName);
  if (::unlink(path.c_str()) != 0) {
    reportFailure(fmt::format("удаление {}", path), errno);
    return;
  }
  forgetAside(fileName);
  TRACE_AS(kClientFunction, trace_, Warning,
           "Удалён файл %s, оставшийся от прерванной установки правила", path.c_str());
}

void RuleDirectory::restoreAside(const std::string& aside, const std::string& original) {
  const std::string from = pathOf(aside);
  const std::string to = pathOf(original);
  if (::rename(from.c_str(), to.c_str()) != 0) {
    reportFailure(fmt::format("переименование {} -> {}", from, to), errno);
    return;
  }
  forgetAside(aside);
  TRACE_AS(kClientFunction, trace_, Warning,
           "Прерванная замена правила: прежняя версия %s возвращена на место", to.c_str());
}

std::vector<std::string> RuleDirectory::leftAsideOf(const std::string& rule) const {
  std::vector<std::string> found;
  for (const std::string& aside : leftAside_) {
    const auto installed = parseInstalledFileName(installedNameOfAside(aside));
    if (installed && installed->rule == rule) {
      found.push_back(aside);
    }
  }
  return found;
}

void RuleDirectory::reportFailure(const std::string& operation, int error) const {
  traceFileFailure(trace_, fmt::format("{}: {}", operation, files::systemErrorText(error)));
}

}  // namespace talvoro
