#pragma once
// The installed versions of every rule in one directory: read from the
// directory once, then kept current from inotify events, by anyone's changes.

#include <sys/inotify.h>

#include <string>
#include <vector>

#include "rule_file_error.h"
#include "talvoro/files/file_descriptor.h"
#include "version_table.h"

namespace talvoro {

// One entry of a directory listing; `type` is readdir's d_type.
struct DirectoryEntry {
  std::string name;
  unsigned char type;
};

// A lookup costs no directory scan however many rules are installed. When
// the events cannot be had (no inotify, the directory missing or replaced,
// the event queue overflowed), the next lookup reads the directory again.
// Only regular files (or links to them) count as installed versions; what an
// entry is, is judged when it is looked up, so that a link counts once its
// target appears.
class InstalledIndex {
 public:
  // `path` ends with a slash.
  explicit InstalledIndex(std::string path);

  // The hashes of the installed versions of `rule`. Throws RuleFileError
  // when the directory cannot be read; a missing directory holds none.
  std::vector<std::string> hashesOf(const std::string& rule);

  // Whether `rule` had an installed version when the index was last brought
  // up to date.
  bool has(const std::string& rule);

  // How many rules have entries named like installed versions.
  std::size_t rules() const { return versions_.rules(); }
  // The same after the changes seen since the last lookup; as rules() when
  // the directory cannot be read now.
  std::size_t currentRules();

  // Reads the directory into the index anew and returns the listing. Throws
  // like hashesOf.
  std::vector<DirectoryEntry> rebuild();

  // A regular file, or a link to one.
  bool isRegularFile(const DirectoryEntry& entry) const;

 private:
  void refresh();
  std::vector<std::string> versionsOf(const std::string& rule);
  bool counts(const std::string& rule, const std::string& hash, EntryKind& kind) const;
  void watchDirectory();
  void add(const DirectoryEntry& entry);
  void remove(const std::string& fileName);
  bool applyEvents();
  bool applyEvent(const inotify_event& event);
  std::vector<DirectoryEntry> listEntries() const;

  std::string path_;
  files::FileDescriptor events_;
  int watch_ = -1;
  bool current_ = false;
  // The entries named like installed versions: the file names follow.
  VersionTable versions_;
};

}  // namespace talvoro
