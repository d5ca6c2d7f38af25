#pragma once
// What RuleInstaller keeps of each rule message and of the store's write
// while it handles a batch; shared by its two source files.

#include <fmt/format.h>

#include <future>
#include <optional>
#include <string>
#include <vector>

#include "rule_batch.h"
#include "rule_directory.h"
#include "service_trace.h"

namespace talvoro {

// A rule message in hand: what arrived, and what was decided about it.
struct RuleInstaller::Job {
  RuleReport report;
  std::vector<char> payload;  // released once translated
  bool replacing = false;     // the outcome is final unless set
  std::vector<InstalledVersion> installed;
  std::string fileName;
  std::string translated;
  std::string text;         // as received, for the store
  long long timestamp = 0;  // as judged: the timestamp line, or the time it came
};

// Why a batch's rules failed when the store's write threw `error`.
inline std::string storeWriteFailure(const std::exception& error) {
  return fmt::format("the state store could not be written: {}", failureReason(error));
}

// The store's write of a batch. It is committed on a thread of its own while
// the new texts are written and synced (their temporary files are nothing to
// the rule engine), and the first file moves only once it is committed: a
// text acknowledged is always a text remembered.
struct RuleInstaller::Recording {
  std::vector<Job*> jobs;  // the rules whose outcome depends on it
  std::future<void> commit;
  std::optional<std::string> failure;

  Recording() = default;
  Recording(Recording&&) = default;
  // No write outlives its batch.
  ~Recording() {
    if (commit.valid()) {
      commit.wait();
    }
  }

  // Waits for the commit; the reason it failed, if it did.
  const std::optional<std::string>& wait() {
    if (commit.valid()) {
      try {
        commit.get();
      } catch (const std::exception& error) {
        failure = storeWriteFailure(error);
      }
    }
    return failure;
  }
};

}  // namespace talvoro
