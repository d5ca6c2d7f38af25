#pragma once
// The rule engine's directory as this service keeps it: the instance lock,
// the start-up sweep, and replacements that install a rule whole or not at all.

#include <cstddef>
#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "file_operations.h"
#include "installed_index.h"
#include "p7/trace.h"

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
// service's own while a version is replaced. A replacement writes the new
// version under a temporary name, moves the installed versions aside, renames
// the new one in and syncs the directory before the aside copies go; any
// failure puts them back, so an installed version is never lost by a failed
// update. Every failure is reported with the system's reason. Entries that
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
  // opened costs a record: rules then fail one by one until it is back.
  void takeOver();

  // Removes the temporary files of interrupted installs and the versions
  // moved aside by an interrupted replacement; a version moved aside whose
  // rule has no installed version left is put back instead.
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
  void replace(const std::vector<InstalledVersion>& installed, const std::string& newFileName,
               const std::string& text);

  // Replaces the rules of `batch` (distinct rule names) together: the new
  // files are written, made durable, put in place in batch order, and the
  // directory is synced once. Each replacement succeeds or fails on its own,
  // as the single one does; when the directory cannot be synced, all of them
  // fail and are taken back.
  void replace(std::vector<Replacement>& batch);

 private:
  class PendingFile;
  class AsideVersions;

  void makeDurable(std::vector<Replacement>& batch, std::deque<PendingFile>& pending);
  void undo(std::vector<Replacement>& batch, std::deque<PendingFile>& pending,
            std::deque<AsideVersions>& aside, const RuleFileError& error);
  void putInPlace(const Replacement& r, PendingFile& file, AsideVersions& aside);
  void requireFreeName(const std::string& fileName,
                       const std::vector<InstalledVersion>& installed) const;
  int syncDirectory() const;
  void removeLeftover(const std::string& fileName) const;
  void restoreAside(const std::string& aside, const std::string& original) const;
  void reportFailure(const std::string& operation, int error) const;

  std::string path_;
  P7::TraceChannel& trace_;
  FileDescriptor lock_;
  InstalledIndex index_;
};

}  // namespace talvoro
