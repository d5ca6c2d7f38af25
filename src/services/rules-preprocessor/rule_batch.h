#pragma once
// Rule messages to their end: what each one comes to (installed, cleared,
// unchanged, outdated, rejected, failed), and the messages to publish, as data.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "p7/trace.h"
#include "publication.h"
#include "rule_report.h"
#include "rule_checks.h"
#include "rule_directory.h"
#include "state_store.h"
#include "worker_thread.h"
#include "talvoro/io_structure.h"
#include "talvoro/rule_result.h"
#include "talvoro/signing/keys.h"

namespace talvoro {

// A received rule message.
struct RuleMessage {
  std::string name;
  std::vector<char> payload;
};

// Whether the rule directory holds file `fileName`, for the store.
FilePresent presentIn(const RuleDirectory& directory);
// The same, or the file will be back after the next start: the start puts
// back an aside copy of a rule that has no version in place.
FilePresent presentOrComingBack(RuleDirectory& directory);

// Settles `store`'s last write against `directory` (presentOrComingBack),
// but only once the directory is durable, syncing it first when its last
// sync failed: what a failed sync left, a power cut may still undo. Returns
// 0, or the errno value of that sync, the write then staying unsettled.
// `takenBack`, when given, gets the names the settle took back.
int settleWhenDurable(StateStore& store, RuleDirectory& directory,
                      std::vector<std::string>* takenBack = nullptr);

// Why a rule fails when the directory cannot be synced (`error`, an errno value).
std::string directoryNotSynced(int error);

// Installs rules into one rule directory, each text checked as `checks` say
// before it replaces the installed version. With `trusted` keys (signed mode)
// a rule text is taken only with a valid signature by one of them; the keys
// must outlive the installer. Remembers the hash of the newest text of every
// rule that has a version installed, for the trace log.
class RuleInstaller {
 public:
  // With a `store`, every rule acknowledged as installed, unchanged or
  // cleared is recorded in it, in one transaction per batch committed (on a
  // thread of its own, while the new texts are written) before any file
  // moves, and taken back there when its file did not arrive.
  RuleInstaller(RuleDirectory& directory, P7::TraceChannel& trace,
                RuleCheckSettings checks = {SyntaxCheckMode::Off, std::nullopt},
                const signing::TrustedKeys* trusted = nullptr, StateStore* store = nullptr);

  // Handles `batch` (messages of distinct rule names) to its end, in order,
  // as if one message after the other, except that the new files are made
  // durable together; every message ends with a report, every failure is in
  // the trace log. The payloads are released on the way.
  // `structureHash` names `structure` in the store.
  std::vector<RuleReport> install(std::vector<RuleMessage> batch, const IoStructure& structure,
                                  const std::string& structureHash = {});

 private:
  struct Job;

  void decide(Job& job, const IoStructure& structure);
  void decideReportingFailures(Job& job, const IoStructure& structure);
  void checkSyntax(Job& job);
  struct Recording;

  void replaceDecided(std::vector<Job>& jobs, Recording& recording);
  void acknowledgeUnchanged(std::vector<Job>& jobs);
  Recording startRecording(std::vector<Job>& jobs, const std::string& structureHash);
  void failRecorded(Recording& recording);
  void settleStore(std::vector<Job>& jobs);
  void rememberRuleHash(const std::string& name, std::size_t ruleHash,
                        const std::string& translated);
  long long installedTimestamp(const std::vector<InstalledVersion>& versions) const;

  RuleDirectory& directory_;
  P7::TraceChannel& trace_;
  RuleChecks checks_;
  const signing::TrustedKeys* trusted_;
  StateStore* store_;
  // Commits the store's write of a batch while the batch's files are
  // written; there whenever store_ is.
  std::unique_ptr<WorkerThread> writer_;
  // Rule name to the hash of the last translated text handled for it.
  std::unordered_map<std::string, std::size_t> m_current_rules;
  std::mutex m_current_rules_mutex;
};

}  // namespace talvoro
