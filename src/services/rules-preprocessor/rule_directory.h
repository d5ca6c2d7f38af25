#pragma once
// The rule engine's directory as this service keeps it: the instance lock,
// the start-up sweep, the lookup of installed versions, and its syncs.

#include <cstddef>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "installed_index.h"
#include "p7/trace.h"
#include "rule_file_error.h"
#include "talvoro/files/file_descriptor.h"

namespace talvoro {

// Where the rule engine reads its rules.
inline const std::string rules_dir = "/etc/wb-rules/";

// Only this much of an installed rule file is read for its timestamp line.
inline constexpr std::size_t kMaxInstalledHeadBytes = 64 * 1024;

// The rule directory is locked by another running instance of the service.
class AnotherInstanceRunning : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One installed version of a rule.
struct InstalledVersion {
  std::string fileName;
  std::string hash;
};

// The record of every failed operation on the rule directory.
void traceFileFailure(P7::TraceChannel& trace, const std::string& failure);

// One file per rule, "<name>-__<hash>__.js", plus hidden files of the
// service's own while a version is replaced (RuleReplacement). Entries that
// are not regular files (or links to them) are never taken for installed
// versions, and never read.
class RuleDirectory {
 public:
  // `path` ends with a slash.
  RuleDirectory(std::string path, P7::TraceChannel& trace);
  ~RuleDirectory();

  const std::string& path() const { return path_; }
  std::string pathOf(const std::string& fileName) const { return path_ + fileName; }

  // Takes the lock that keeps two instances of the service off one
  // directory, for the life of this object. False when another process
  // holds it. Throws RuleFileError when the directory cannot be opened.
  bool tryLock();

  // Locks the directory and sweeps it. Throws AnotherInstanceRunning, after
  // a record, when another instance holds it. A directory that cannot be
  // opened costs a record; keepLocked() tries again.
  void takeOver();

  // Takes the lock (and sweeps) once the directory can be opened, and again
  // on the directory now at the path when the locked one was replaced;
  // nothing while the lock is held on it. Throws AnotherInstanceRunning, after
  // a record, when another instance holds it.
  void keepLocked();

  // Removes the temporary files of interrupted installs and the versions
  // moved aside by an interrupted replacement; a version moved aside whose
  // rule has no installed version left is put back instead. Ends with a
  // directory sync, so that what an interrupted run renamed is durable
  // before anything is acknowledged again.
  void sweepLeftovers();

  // Every installed version of rule `name`. Throws RuleFileError when the
  // directory cannot be read; a missing directory holds none.
  std::vector<InstalledVersion> installedVersions(const std::string& name);

  // How many rules have an installed version now, the service's own last
  // installs included.
  std::size_t installedRules() { return index_.currentRules(); }

  // The hash of an installed version of rule `name`, empty when there is
  // none. Throws like installedVersions.
  std::string findHash(const std::string& name);

  // The first kMaxInstalledHeadBytes of an installed version, read without
  // blocking; nothing when it cannot be opened or is no regular file.
  std::optional<std::string> readHead(const std::string& fileName) const;

  // Whether installed version `fileName` holds exactly `text`; false also
  // when it cannot be read.
  bool holds(const std::string& fileName, const std::string& text) const;

  // Makes the directory's entries durable. Returns 0 or the errno value; a
  // failure is recorded and leaves the directory unsynced() until a sync
  // succeeds.
  int syncDirectory();
  // Whether a change may not be durable because the last sync failed.
  bool unsynced() const { return unsynced_; }
  // 0 when the entries are durable, syncing the directory first when the last
  // sync failed; the sync's errno value otherwise.
  int syncIfUnsynced() { return unsynced_ ? syncDirectory() : 0; }

  // The record of a failed operation (naming its file) with the system's reason.
  void reportFailure(const std::string& operation, int error) const;

  // Aside copies that replacements of this run had to leave behind (the
  // start-up sweep dealt with those of earlier runs): a clear of their rule
  // removes them too, else the next start would put one back.
  void noteLeftAside(const std::string& fileName) { leftAside_.insert(fileName); }
  void forgetAside(const std::string& fileName) { leftAside_.erase(fileName); }
  std::vector<std::string> leftAsideOf(const std::string& rule) const;

 private:
  bool lockOnCurrentDirectory() const;
  void traceAnotherInstance() const;
  void removeLeftover(const std::string& fileName);
  void restoreAside(const std::string& aside, const std::string& original);

  std::string path_;
  P7::TraceChannel& trace_;
  files::FileDescriptor lock_;
  InstalledIndex index_;
  bool unsynced_ = false;
  std::set<std::string> leftAside_;
};

}  // namespace talvoro
