#pragma once
// The replacement of a batch of rules in the rule directory as one protocol
// whose every step is recorded per rule, so that each outcome says what is on
// disk, not what was intended.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "rule_directory.h"
#include "rule_file_error.h"
#include "talvoro/files/file_descriptor.h"

namespace talvoro {

// One rule's change: the installed versions it replaces, and its new version.
struct RuleChange {
  std::vector<InstalledVersion> installed;
  std::string newFileName;
  std::string text;  // empty: no new version, the rule is cleared
};

// Replaces the rules of a batch (distinct rule names) together: the new texts
// are written to temporary files and made durable, then, in batch order, the
// installed versions of each rule are moved aside under hidden names and its
// new file renamed into place; one directory sync makes all of it durable,
// and the aside copies go (with them, those that earlier replacements of the
// rule had to leave behind). When the batch clears a rule, the directory is
// synced once more after that, so that the start-up sweep never puts a
// cleared rule back. Each rule succeeds or fails on its own; when the
// directory cannot be synced, every committed rule is taken back. A rule
// never ends with two installed versions. No step throws: every failure,
// memory exhaustion included, stays with the rule it befell; should an
// exception leave run() all the same, the destructor takes back what it left
// committed.
class RuleReplacement {
 public:
  enum class State {
    Planned,         // nothing on disk yet
    Written,         // the new text is in a temporary file
    Synced,          // ... and durable
    Committed,       // the installed versions aside, the new file under its name
    Done,            // the directory synced: the change is durable; aside copies gone
    NotDurable,      // a clear done, but the directory sync after it failed: a power
                     // cut may bring the previous version back
    NotReplaced,     // failed before anything was moved: the installed versions as before
    Refused,         // the vetting refused the written text: the installed versions as before
    RolledBack,      // committed, then taken back: the installed versions in place again
    RollbackFailed,  // committed, and taking it back failed as well: newVersionLive()
  };

  RuleReplacement(RuleDirectory& directory, std::vector<RuleChange> changes);
  ~RuleReplacement();
  RuleReplacement(const RuleReplacement&) = delete;
  RuleReplacement& operator=(const RuleReplacement&) = delete;

  // Asked of each new text once it is written to its temporary file (at
  // `temporaryPath`) and before anything is moved: a reason refuses it.
  using Vet =
      std::function<std::optional<std::string>(std::size_t i, const std::string& temporaryPath)>;

  // Asked once, when every new text is durable and before anything is moved:
  // a reason leaves every rule not yet refused NotReplaced with it.
  using Gate = std::function<std::optional<std::string>()>;

  // Runs every step; each rule ends Done, NotDurable, NotReplaced, Refused,
  // RolledBack or RollbackFailed. `vet`, when given, vets every new text;
  // `gate`, when given, holds the first move until it answers.
  void run(const Vet& vet = {}, const Gate& gate = {});

  std::size_t size() const { return rules_.size(); }
  const RuleChange& change(std::size_t i) const { return rules_[i].change; }
  State state(std::size_t i) const { return rules_[i].state; }
  // Why a rule did not end Done.
  const std::optional<RuleFileError>& error(std::size_t i) const { return rules_[i].error; }
  // Refused: the reason the vetting gave.
  const std::string& refusal(std::size_t i) const { return rules_[i].refusal; }
  // RollbackFailed: why taking it back failed.
  const std::optional<RuleFileError>& rollbackError(std::size_t i) const {
    return rules_[i].rollbackError;
  }
  // RollbackFailed: the new version stayed in place, the installed versions
  // stay aside (the next start removes them). Otherwise the rule lacks the
  // installed versions that could not be put back; the next start puts them
  // back.
  bool newVersionLive(std::size_t i) const { return rules_[i].newVersionLive; }

 private:
  struct Aside {
    std::string name;
    std::string installedPath;
    std::string asidePath;
    bool moved = false;
  };
  struct Rule {
    RuleChange change;
    std::string newPath;
    std::vector<Aside> aside;
    std::vector<std::string> leftAside;  // copies that earlier replacements left aside
    State state = State::Planned;
    std::string temporaryPath;  // while Written or Synced
    files::FileDescriptor file;
    std::optional<RuleFileError> error;
    std::optional<RuleFileError> rollbackError;
    bool newVersionLive = false;
    std::string refusal;

    bool clears() const { return change.text.empty(); }
  };

  template <typename Step>
  static bool attempt(Rule& rule, RuleFileError::Stage stage, Step step);
  void write(Rule& rule);
  void vetWritten(const Vet& vet);
  void makeDurable();
  bool passGate(const Gate& gate);
  void commit(Rule& rule);
  void giveUp(Rule& rule);
  void putBackAside(Rule& rule, std::optional<RuleFileError>& failure);
  void takeBack(Rule& rule, const RuleFileError& error);
  void finish(Rule& rule);
  void removeLeftAside(Rule& rule);
  void removeTemporary(Rule& rule);

  RuleDirectory& directory_;
  std::vector<Rule> rules_;
};

// Replaces one rule as a batch of one. Throws the RuleFileError that kept it
// from ending Done.
void replaceRule(RuleDirectory& directory, RuleChange change);

}  // namespace talvoro
