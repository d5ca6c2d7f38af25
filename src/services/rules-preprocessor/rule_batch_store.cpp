// RuleInstaller's part in the state store: every rule that will be
// acknowledged is recorded before its file moves, and taken back when its
// file did not arrive.

#include <sys/stat.h>

#include <algorithm>
#include <memory>

#include "rule_batch.h"
#include "rule_batch_job.h"
#include "rule_names.h"
#include "service_trace.h"
#include "talvoro/files/file_error.h"

namespace talvoro {

FilePresent presentIn(const RuleDirectory& directory) {
  return [&directory](const std::string& fileName) {
    struct stat status {};
    return ::lstat(directory.pathOf(fileName).c_str(), &status) == 0;
  };
}

namespace {

// Whether rule `name` has an installed version; when that cannot be told,
// it is taken to have none, so that what may come back counts as present.
bool hasVersionInPlace(RuleDirectory& directory, const std::string& name) {
  try {
    return !directory.installedVersions(name).empty();
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

FilePresent presentOrComingBack(RuleDirectory& directory) {
  const FilePresent inDirectory = presentIn(directory);
  return [&directory, inDirectory](const std::string& fileName) {
    if (inDirectory(fileName)) {
      return true;
    }
    const auto installed = parseInstalledFileName(fileName);
    if (!installed) {
      return false;
    }
    const std::vector<std::string> asides = directory.leftAsideOf(installed->rule);
    const bool aside = std::any_of(asides.begin(), asides.end(), [&](const std::string& copy) {
      return installedNameOfAside(copy) == fileName;
    });
    return aside && !hasVersionInPlace(directory, installed->rule);
  };
}

int settleWhenDurable(StateStore& store, RuleDirectory& directory,
                      std::vector<std::string>* takenBack) {
  if (const int error = directory.syncIfUnsynced(); error != 0) {
    return error;
  }
  std::vector<std::string> names = store.settle(presentOrComingBack(directory));
  if (takenBack != nullptr) {
    *takenBack = std::move(names);
  }
  return 0;
}

std::string directoryNotSynced(int error) {
  return fmt::format("the directory could not be synced: {}", files::systemErrorText(error));
}

namespace {

bool recorded(const StoredRule& stored, const StoredRule& rule) {
  return stored.crc == rule.crc && stored.file == rule.file &&
         stored.structure == rule.structure && stored.text == rule.text;
}

}  // namespace

// Starts the store's write of every rule that will be acknowledged if its
// file arrives. When the store cannot be written, none of them is installed.
RuleInstaller::Recording RuleInstaller::startRecording(std::vector<Job>& jobs,
                                                       const std::string& structureHash) {
  Recording recording;
  if (store_ == nullptr) {
    return recording;
  }
  try {
    auto changes = std::make_shared<std::vector<StoreChange>>();
    for (Job& job : jobs) {
      const bool unchanged = job.report.outcome.kind == RuleOutcome::Kind::Unchanged;
      if (!job.replacing && !unchanged) {
        continue;
      }
      recording.jobs.push_back(&job);
      const bool clears = job.translated.empty();
      StoredRule rule{job.report.name, job.text, job.report.crc, job.timestamp,
                      structureHash, clears ? std::string() : job.fileName, {}, {}, {}};
      const std::optional<StoredRule> stored = store_->rule(job.report.name);
      if (clears && !stored) {
        continue;
      }
      if (stored && unchanged) {
        rule.timestamp = stored->timestamp;
        if (recorded(*stored, rule)) {
          continue;
        }
      }
      changes->push_back(
          {clears ? StoreChange::Kind::Remove : StoreChange::Kind::Install, std::move(rule)});
    }
    if (changes->empty()) {
      return recording;
    }
    // Settled here, so that the write itself never looks at the directory,
    // which this thread changes meanwhile.
    if (!store_->settled()) {
      if (const int error = settleWhenDurable(*store_, directory_); error != 0) {
        recording.failure = directoryNotSynced(error);
        failRecorded(recording);
        return recording;
      }
    }
    const FilePresent present = presentIn(directory_);
    StateStore* store = store_;
    const auto write = [store, changes, present] { store->record(*changes, present); };
    recording.commit = writer_->run(write);
  } catch (const std::exception& error) {
    recording.failure = storeWriteFailure(error);
  }
  if (recording.failure) {
    failRecorded(recording);
  }
  return recording;
}

// Every rule of a batch whose write failed ends failed with its reason; no
// file of theirs was moved.
void RuleInstaller::failRecorded(Recording& recording) {
  for (Job* job : recording.jobs) {
    TRACE_AS(kClientFunction, trace_, Error, "Ошибка обработки правила для %s: %s\n",
             job->report.name.c_str(), recording.failure->c_str());
    job->replacing = false;
    job->report.outcome = {RuleOutcome::Kind::Failed, *recording.failure, {}};
  }
  recording.jobs.clear();
}

// Takes back in the store what did not reach the rule directory. A directory
// that cannot be synced leaves the write to the next write or the next start.
void RuleInstaller::settleStore(std::vector<Job>& jobs) {
  if (store_ == nullptr || jobs.empty()) {
    return;
  }
  try {
    settleWhenDurable(*store_, directory_);
  } catch (const std::exception& error) {
    TRACE_AS(kClientFunction, trace_, Error, "Хранилище состояния %s не сверено с каталогом: %s",
             store_->path().c_str(), failureReason(error).c_str());
  }
}

}  // namespace talvoro
