#include "installed_index.h"

#include <dirent.h>
#include <fmt/format.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string_view>

#include "rule_names.h"

namespace talvoro {
namespace {

EntryKind kindOf(unsigned char type) {
  switch (type) {
    case DT_REG: return EntryKind::File;
    case DT_LNK: return EntryKind::Link;
    case DT_UNKNOWN: return EntryKind::Unknown;
    default: return EntryKind::Other;
  }
}

}  // namespace

InstalledIndex::InstalledIndex(std::string path) : path_(std::move(path)) {}

std::vector<std::string> InstalledIndex::hashesOf(const std::string& rule) {
  refresh();
  return versionsOf(rule);
}

bool InstalledIndex::has(const std::string& rule) { return !versionsOf(rule).empty(); }

std::vector<std::string> InstalledIndex::versionsOf(const std::string& rule) {
  std::vector<std::string> hashes;
  versions_.forEachOf(rule, [&](std::string hash, EntryKind& kind) {
    if (counts(rule, hash, kind)) {
      hashes.push_back(std::move(hash));
    }
  });
  return hashes;
}

// A regular file stays one until its name is removed or replaced, which
// the events tell; a link counts only while its target is a regular file.
bool InstalledIndex::counts(const std::string& rule, const std::string& hash,
                            EntryKind& kind) const {
  using Kind = EntryKind;
  const std::string path = path_ + installedFileName(rule, hash);
  struct stat status {};
  if (kind == Kind::Unknown && ::lstat(path.c_str(), &status) == 0) {
    kind = S_ISREG(status.st_mode)   ? Kind::File
           : S_ISLNK(status.st_mode) ? Kind::Link
                                     : Kind::Other;
  }
  switch (kind) {
    case Kind::File: return true;
    case Kind::Link: return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
    case Kind::Unknown:
    case Kind::Other: return false;
  }
  return false;
}

std::size_t InstalledIndex::currentRules() {
  try {
    refresh();
  } catch (const RuleFileError&) {
  }
  return rules();
}

void InstalledIndex::refresh() {
  if (!current_ || !applyEvents()) {
    rebuild();
  }
}

std::vector<DirectoryEntry> InstalledIndex::rebuild() {
  current_ = false;
  // Watched before the listing, so that no change falls between the two;
  // events queued until now are superseded by the listing.
  watchDirectory();
  applyEvents();
  std::vector<DirectoryEntry> entries = listEntries();
  std::vector<VersionTable::Named> versions;
  for (const DirectoryEntry& entry : entries) {
    if (auto name = parseInstalledFileName(entry.name)) {
      versions.push_back({std::move(name->rule), std::move(name->hash), kindOf(entry.type)});
    }
  }
  versions_.reset(std::move(versions));
  current_ = watch_ >= 0;
  return entries;
}

void InstalledIndex::watchDirectory() {
  if (!events_.valid()) {
    events_ = files::FileDescriptor(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  }
  if (events_.valid() && watch_ < 0) {
    watch_ = ::inotify_add_watch(events_.get(), path_.c_str(),
                                 IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                     IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
  }
}

void InstalledIndex::add(const DirectoryEntry& entry) {
  if (auto name = parseInstalledFileName(entry.name)) {
    versions_.put(name->rule, name->hash, kindOf(entry.type));
  }
}

void InstalledIndex::remove(const std::string& fileName) {
  if (const auto name = parseInstalledFileName(fileName)) {
    versions_.erase(name->rule, name->hash);
  }
}

// Applies the queued events to the index; false when it lost track.
bool InstalledIndex::applyEvents() {
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

bool InstalledIndex::applyEvent(const inotify_event& event) {
  if (event.mask & IN_Q_OVERFLOW) {
    return false;
  }
  if (event.wd != watch_) {
    // Of a directory watched before: what happens there is no business of
    // the index any more.
    return true;
  }
  if (event.mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
    // The directory moved away (and is still watched) or is gone; the path
    // names another directory now, if any.
    if (!(event.mask & IN_IGNORED)) {
      ::inotify_rm_watch(events_.get(), watch_);
    }
    watch_ = -1;
    return false;
  }
  if (event.len == 0) {
    return true;
  }
  const std::string name = event.name;
  if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
    remove(name);
  }
  if (event.mask & (IN_CREATE | IN_MOVED_TO)) {
    add({name, static_cast<unsigned char>(event.mask & IN_ISDIR ? DT_DIR : DT_UNKNOWN)});
  }
  return true;
}

std::vector<DirectoryEntry> InstalledIndex::listEntries() const {
  std::vector<DirectoryEntry> entries;
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

bool InstalledIndex::isRegularFile(const DirectoryEntry& entry) const {
  if (entry.type == DT_REG) {
    return true;
  }
  if (entry.type != DT_LNK && entry.type != DT_UNKNOWN) {
    return false;
  }
  struct stat status {};
  return ::stat((path_ + entry.name).c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace talvoro
