#include "rule_batch.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <string_view>

#include "rule_batch_job.h"
#include "rule_names.h"
#include "rule_replacement.h"
#include "rule_text.h"
#include "service_trace.h"
#include "signed_mode.h"
#include "talvoro/rule_crc.h"
#include "talvoro/rule_name.h"

namespace talvoro {
namespace {

// Records of a rule text show at most this much of it, so that a burst of
// large rules leaves the trace log hours of history, not the last few rules.
constexpr std::size_t kMaxRuleTextInRecord = 4 * 1024;

// The rule text as its record shows it: the start, and the full length when
// that is not all of it.
std::string ruleTextForRecord(const std::string& text) {
  if (text.size() <= kMaxRuleTextInRecord) {
    return text;
  }
  return fmt::format("{} (всего {} байт)", excerpt(text, kMaxRuleTextInRecord), text.size());
}

long long currentEpochSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The warnings of one rule in one text.
void addWarning(std::string& warnings, const std::string& warning) {
  warnings += warnings.empty() ? warning : "; " + warning;
}

void traceOutdated(P7::TraceChannel& trace, const std::string& name, long long newTimestamp,
                   long long oldTimestamp) {
  TRACE_AS(kClientFunction, trace, Warning,
           "Правило %s: новый ts %lld не новее старого %lld — пропускаем обновление.",
           name.c_str(), newTimestamp, oldTimestamp);
  TRACE_AS(kClientFunction, trace, Info,
           "Правило %s: обновление пропущено (устаревший timestamp).", name.c_str());
}

// The leading record of a replacement that failed before anything moved; the
// system's reason follows.
void traceReplaceFailure(P7::TraceChannel& trace, const std::string& newPath,
                         const RuleFileError& error) {
  if (error.stage() == RuleFileError::Stage::Create) {
    TRACE_AS(kClientFunction, *P7::getTrace(), Error, "Create error %s", newPath.c_str());
  } else if (error.stage() == RuleFileError::Stage::Remove) {
    TRACE_AS(kClientFunction, trace, Error, "Ошибка очистки старых правил для wb-rules: %d",
             error.code());
  }
  traceFileFailure(trace, error.what());
}

}  // namespace

RuleInstaller::RuleInstaller(RuleDirectory& directory, P7::TraceChannel& trace,
                             RuleCheckSettings checks, const signing::TrustedKeys* trusted,
                             StateStore* store)
    : directory_(directory),
      trace_(trace),
      checks_(std::move(checks)),
      trusted_(trusted),
      store_(store),
      writer_(store != nullptr ? std::make_unique<WorkerThread>() : nullptr) {}

std::vector<RuleReport> RuleInstaller::install(std::vector<RuleMessage> batch,
                                               const IoStructure& structure,
                                               const std::string& structureHash) {
  std::vector<Job> jobs;
  jobs.reserve(batch.size());
  for (RuleMessage& message : batch) {
    const std::uint32_t crc =
        protocol::ruleCrc(std::string_view(message.payload.data(), message.payload.size()));
    jobs.push_back({{std::move(message.name), crc, {RuleOutcome::Kind::Failed, {}, {}}, {}},
                    std::move(message.payload), false, {}, {}, {}, {}, 0});
  }
  {
    std::lock_guard<std::mutex> lock(m_current_rules_mutex);
    for (Job& job : jobs) {
      decideReportingFailures(job, structure);
      checkSyntax(job);
    }
    Recording recording = startRecording(jobs, structureHash);
    replaceDecided(jobs, recording);
    if (recording.wait()) {
      failRecorded(recording);
    }
    acknowledgeUnchanged(jobs);
    settleStore(jobs);
  }
  std::vector<RuleReport> reports;
  reports.reserve(jobs.size());
  for (Job& job : jobs) {
    reports.push_back(std::move(job.report));
  }
  return reports;
}

// Decides what to do with a rule message: everything up to, not including,
// the replacement of its file. Throws like installation does.
void RuleInstaller::decide(Job& job, const IoStructure& structure) {
  const std::string& name = job.report.name;
  protocol::checkRuleName(name);
  long long signedTimestamp = 0;
  {
    // The payload is released on the way, so that a large rule is held at
    // most twice.
    std::string text(job.payload.begin(), job.payload.end());
    std::vector<char>().swap(job.payload);
    // Before anything else: a refused text is neither translated, written
    // nor traced.
    const AdmittedRule admitted = admitRule(trusted_, name, text);
    if (admitted.removal) {
      text.clear();
    }
    signedTimestamp = admitted.timestamp;
    if (store_ != nullptr) {
      job.text = text;
    }
    std::vector<std::string> emptyPlaceholders;
    job.translated = translate(std::move(text), structure, &emptyPlaceholders);
    for (const std::string& note : emptyPlaceholders) {
      TRACE_AS(kClientFunction, trace_, Warning, "Правило %s: %s", name.c_str(), note.c_str());
      addWarning(job.report.warning, note);
    }
  }
  job.timestamp = signedTimestamp > 0 ? signedTimestamp : extractEpochTsOrZero(job.translated);
  if (job.timestamp < 1) {
    job.timestamp = currentEpochSeconds();
  }
  const std::size_t ruleHash = std::hash<std::string>{}(job.translated);
  rememberRuleHash(name, ruleHash, job.translated);
  job.installed = directory_.installedVersions(name);
  const std::string ruleHashText = fmt::format("{}", ruleHash);
  job.fileName = installedFileName(name, ruleHashText);
  // The very text installed is unchanged whatever its timestamp says, so
  // that sending a rule again (after a lost result) is always harmless. A
  // file of that name whose content was changed by hand is put right, also
  // whatever the timestamps say.
  if (job.installed.size() == 1 && job.installed.front().hash == ruleHashText) {
    if (directory_.holds(job.fileName, job.translated)) {
      TRACE_AS(kClientFunction, trace_, Info, "Хеш для %s (%zu) не изменился. Не обновляем.",
               name.c_str(), ruleHash);
      job.report.outcome = {RuleOutcome::Kind::Unchanged, {}, {}};
      return;
    }
    TRACE_AS(kClientFunction, trace_, Warning,
             "Файл правила %s изменён не сервисом; восстанавливаем его содержимое",
             directory_.pathOf(job.fileName).c_str());
    job.replacing = true;
    return;
  }
  const long long newTimestamp = job.timestamp;
  const long long oldTimestamp = installedTimestamp(job.installed);
  if (oldTimestamp > 0 && newTimestamp <= oldTimestamp) {
    traceOutdated(trace_, name, newTimestamp, oldTimestamp);
    job.report.outcome = {
        RuleOutcome::Kind::Outdated,
        fmt::format("the installed version has the timestamp {}, this one {}", oldTimestamp,
                    newTimestamp),
        {}};
    return;
  }
  TRACE_AS(kClientFunction, trace_, Info, "Новый хеш для %s (%zu). Перезаписываем скрипт.",
           name.c_str(), ruleHash);
  job.replacing = true;
}

// decide for a message that must end, whatever happens, with an outcome;
// every failure is in the trace log.
void RuleInstaller::decideReportingFailures(Job& job, const IoStructure& structure) {
  const std::string& name = job.report.name;
  RuleOutcome& outcome = job.report.outcome;
  try {
    decide(job, structure);
  } catch (const protocol::BadRuleName& error) {
    TRACE_AS(kClientFunction, trace_, Error, "Правило %s отклонено: %s",
             excerpt(name, kMaxErrorTextInRecord).c_str(), error.what());
    outcome = {RuleOutcome::Kind::Rejected, error.what(), {}};
  } catch (const signing::SignatureRejected& error) {
    TRACE_AS(kClientFunction, trace_, Warning,
             "Правило %s отклонено: подпись не принята (ключ %s): %s", name.c_str(),
             error.keyId().empty() ? "не назван" : error.keyId().c_str(), error.what());
    outcome = {RuleOutcome::Kind::Rejected, error.what(), {}};
  } catch (const UnresolvedPlaceholder& error) {
    TRACE_AS(kClientFunction, trace_, Error, "Ошибка обработки правила для %s: %s\n",
             name.c_str(), error.what());
    outcome = {RuleOutcome::Kind::Rejected,
               fmt::format("the placeholder key \"{}\" cannot be resolved", error.key()),
               {}};
  } catch (const RuleFileError& error) {
    traceFileFailure(trace_, error.what());
    outcome = {RuleOutcome::Kind::Failed, error.reason(), {}};
  } catch (const std::exception& error) {
    // Memory exhaustion included: a rule too large for the controller fails
    // alone, and the service goes on.
    const std::string reason = failureReason(error);
    TRACE_AS(kClientFunction, trace_, Error, "Ошибка обработки правила для %s: %s\n",
             name.c_str(), reason.c_str());
    outcome = {RuleOutcome::Kind::Failed, reason, {}};
  }
}

// The built-in check of a text that is to replace the installed version: a
// refusal ends the rule rejected, anything else found is a warning.
void RuleInstaller::checkSyntax(Job& job) {
  if (!job.replacing || job.translated.empty()) {
    return;
  }
  const std::string& name = job.report.name;
  std::optional<SyntaxFinding> finding;
  try {
    finding = checks_.checkSyntax(job.translated);
  } catch (const std::exception& error) {
    // Memory for the verdict's words: the rule goes on unchecked, as a text
    // beyond the engine's memory does.
    finding = SyntaxFinding{false, "not checked: " + failureReason(error)};
  }
  if (!finding) {
    return;
  }
  if (finding->refuses) {
    TRACE_AS(kClientFunction, trace_, Error, "Правило %s отклонено: %s", name.c_str(),
             finding->message.c_str());
    job.replacing = false;
    job.report.outcome = {RuleOutcome::Kind::Rejected, finding->message, {}};
    if (job.installed.empty()) {
      m_current_rules.erase(name);
    }
    return;
  }
  TRACE_AS(kClientFunction, trace_, Warning, "Правило %s: %s", name.c_str(),
           finding->message.c_str());
  addWarning(job.report.warning, finding->message);
}

// Puts the decided new versions in place together; each job ends installed,
// cleared or failed, as its replacement says.
void RuleInstaller::replaceDecided(std::vector<Job>& jobs, Recording& recording) {
  std::vector<RuleChange> changes;
  std::vector<Job*> replacing;
  for (Job& job : jobs) {
    if (job.replacing) {
      changes.push_back({std::move(job.installed), job.fileName, std::move(job.translated)});
      replacing.push_back(&job);
    }
  }
  if (changes.empty()) {
    return;
  }
  RuleReplacement replacement(directory_, std::move(changes));
  replacement.run(checks_.commandVet(), [&recording] { return recording.wait(); });
  if (recording.failure) {
    return;  // nothing moved: the batch ends with the store's reason
  }
  for (std::size_t i = 0; i < replacing.size(); ++i) {
    Job& job = *replacing[i];
    const RuleReplacement::State state = replacement.state(i);
    job.report.outcome = replacementOutcome(replacement, i);
    if (state == RuleReplacement::State::NotReplaced) {
      traceReplaceFailure(trace_, directory_.pathOf(job.fileName), *replacement.error(i));
    } else if (state == RuleReplacement::State::Refused) {
      TRACE_AS(kClientFunction, trace_, Error, "Правило %s отклонено: %s",
               job.report.name.c_str(), job.report.outcome.reason.c_str());
    } else if (job.report.outcome.kind == RuleOutcome::Kind::Failed) {
      TRACE_AS(kClientFunction, trace_, Error, "Ошибка обработки правила для %s: %s\n",
               job.report.name.c_str(), job.report.outcome.reason.c_str());
    }
    // Only rules with a version in place are remembered.
    const bool noneInPlace =
        state == RuleReplacement::State::Done || state == RuleReplacement::State::NotDurable
            ? replacement.change(i).text.empty()
            : replacement.change(i).installed.empty() && !replacement.newVersionLive(i);
    if (noneInPlace) {
      m_current_rules.erase(job.report.name);
    }
  }
}

// An unchanged rule is acknowledged only once its file's entry is durable:
// after a directory sync that failed, the directory is synced first.
void RuleInstaller::acknowledgeUnchanged(std::vector<Job>& jobs) {
  const auto unchanged = [](const Job& job) {
    return job.report.outcome.kind == RuleOutcome::Kind::Unchanged;
  };
  if (std::none_of(jobs.begin(), jobs.end(), unchanged)) {
    return;
  }
  if (const int error = directory_.syncIfUnsynced(); error != 0) {
    const std::string reason = directoryNotSynced(error);
    for (Job& job : jobs) {
      if (unchanged(job)) {
        TRACE_AS(kClientFunction, trace_, Error, "Ошибка обработки правила для %s: %s\n",
                 job.report.name.c_str(), reason.c_str());
        job.report.outcome = {RuleOutcome::Kind::Failed, reason, {}};
      }
    }
  }
}

// Records the hash of the rule's newest text; traces when it is new or changed.
void RuleInstaller::rememberRuleHash(const std::string& name, std::size_t ruleHash,
                                     const std::string& translated) {
  const auto [entry, inserted] = m_current_rules.try_emplace(name, ruleHash);
  if (!inserted && entry->second == ruleHash) {
    return;
  }
  if (inserted) {
    TRACE_AS(kClientFunction, trace_, Info, "Запоминаем хеш для %s: %zu", name.c_str(),
             ruleHash);
  } else {
    TRACE_AS(kClientFunction, trace_, Info, "Обновляем хеш для %s: %zu", name.c_str(),
             ruleHash);
    entry->second = ruleHash;
  }
  TRACE_AS(kClientFunction, trace_, Info, "%s:%s", name.c_str(),
           ruleTextForRecord(translated).c_str());
}

// The newest rule timestamp among the installed versions, 0 when none of
// them carries one (or none can be read).
long long RuleInstaller::installedTimestamp(
    const std::vector<InstalledVersion>& versions) const {
  long long newest = 0;
  for (const InstalledVersion& version : versions) {
    if (const auto head = directory_.readHead(version.fileName)) {
      newest = std::max(newest, extractEpochTsOrZero(*head));
    }
  }
  return newest;
}

}  // namespace talvoro
