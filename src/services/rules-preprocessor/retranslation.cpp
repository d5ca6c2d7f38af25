#include "retranslation.h"

#include <fmt/format.h>

#include <functional>
#include <stdexcept>

#include "rule_batch.h"
#include "rule_names.h"
#include "rule_replacement.h"
#include "rule_text.h"
#include "service_trace.h"

namespace talvoro {
namespace {

// Rules put in place by one replacement: one directory sync and one store
// transaction for each, and short enough that a rule arriving meanwhile
// waits little.
constexpr std::size_t kChunkRules = 64;

std::vector<Publication> resultOf(const StoredRule& rule, RuleOutcome outcome) {
  return publicationsOf(RuleReport{rule.name, rule.crc, std::move(outcome), {}});
}

}  // namespace

RetranslationPass::RetranslationPass(RuleDirectory& directory, StateStore& store,
                                     P7::TraceChannel& trace, RuleReplacement::Vet vet)
    : directory_(directory), store_(store), trace_(trace), vet_(std::move(vet)) {}

std::size_t RetranslationPass::begin(const std::string& structureHash) {
  const std::size_t awaiting = store_.retranslationCounts(structureHash).awaiting;
  structureHash_ = awaiting > 0 ? structureHash : std::string();
  if (awaiting > 0) {
    TRACE_AS(kClientFunction, trace_, Info,
             "Повторная трансляция правил для структуры ввода-вывода %s: правил %zu",
             structureHash.c_str(), awaiting);
  }
  return awaiting;
}

std::vector<Publication> RetranslationPass::step(const IoStructure& structure,
                                             std::chrono::milliseconds budget,
                                             std::optional<RetranslationCounts>& done) {
  std::vector<Publication> publications;
  const auto deadline = std::chrono::steady_clock::now() + budget;
  while (pending()) {
    const std::vector<StoredRule> rules =
        store_.awaitingRetranslation(structureHash_, {}, kChunkRules);
    if (rules.empty()) {
      done = store_.retranslationCounts(structureHash_);
      TRACE_AS(kClientFunction, trace_, Info,
               "Повторная трансляция для структуры ввода-вывода %s завершена: "
               "перетранслировано %zu, не удалось %zu",
               structureHash_.c_str(), done->retranslated, done->failed);
      structureHash_.clear();
      break;
    }
    chunk(rules, structure, publications);
    if (std::chrono::steady_clock::now() >= deadline) {
      break;
    }
  }
  return publications;
}

void RetranslationPass::fail(const StoredRule& rule, const std::string& reason,
                         std::vector<StoreChange>& marks,
                         std::vector<Publication>& publications) {
  TRACE_AS(kClientFunction, trace_, Error, "Правило %s не транслировано заново: %s",
           rule.name.c_str(), reason.c_str());
  StoredRule marked = rule;
  marked.structure = structureHash_;
  marked.reason = reason;
  marks.push_back({StoreChange::Kind::Retranslate, std::move(marked), Retranslation::Failed});
  for (Publication& publication : resultOf(rule, {RuleOutcome::Kind::Failed, reason, {}})) {
    publications.push_back(std::move(publication));
  }
}

// One chunk: what needs no file is decided and recorded together with the new
// files' names, in one transaction before any file moves; then the files are
// replaced, and what did not arrive is taken back and recorded as failed.
// The store is compared with the directory only while the directory is
// durable; when it cannot be made so, the chunk throws before anything is done.
void RetranslationPass::chunk(const std::vector<StoredRule>& rules, const IoStructure& structure,
                          std::vector<Publication>& publications) {
  if (!store_.settled()) {
    if (const int error = settleWhenDurable(store_, directory_); error != 0) {
      throw std::runtime_error(directoryNotSynced(error));
    }
  }
  const FilePresent present = presentIn(directory_);
  std::vector<StoreChange> marks;
  std::vector<RuleChange> changes;
  std::vector<StoredRule> replacing;
  for (const StoredRule& rule : rules) {
    StoredRule marked = rule;
    marked.structure = structureHash_;
    if (!present(rule.file)) {
      TRACE_AS(kClientFunction, trace_, Warning,
               "Правило %s не транслировано заново: его файл %s отсутствует", rule.name.c_str(),
               rule.file.c_str());
      marked.reason = fmt::format("its installed file {} is missing", rule.file);
      marks.push_back({StoreChange::Kind::Retranslate, std::move(marked), Retranslation::Skipped});
      continue;
    }
    try {
      std::string translated = translate(rule.text, structure);
      marked.file = installedFileName(
          rule.name, fmt::format("{}", std::hash<std::string>{}(translated)));
      if (marked.file == rule.file) {
        marks.push_back(
            {StoreChange::Kind::Retranslate, std::move(marked), Retranslation::Unchanged});
        continue;
      }
      changes.push_back({directory_.installedVersions(rule.name), marked.file,
                         std::move(translated)});
      marks.push_back(
          {StoreChange::Kind::Retranslate, marked, Retranslation::Retranslated});
      replacing.push_back(std::move(marked));
    } catch (const UnresolvedPlaceholder& error) {
      fail(rule, fmt::format("the placeholder key \"{}\" cannot be resolved", error.key()), marks,
           publications);
    } catch (const RuleFileError& error) {
      fail(rule, error.reason(), marks, publications);
    } catch (const std::exception& error) {
      fail(rule, excerpt(error.what(), kMaxErrorTextInRecord), marks, publications);
    }
  }
  store_.record(marks, present);
  if (changes.empty()) {
    return;
  }
  RuleReplacement replacement(directory_, std::move(changes));
  replacement.run(vet_);
  const bool durable = settleWhenDurable(store_, directory_) == 0;
  std::vector<StoreChange> failures;
  for (std::size_t i = 0; i < replacing.size(); ++i) {
    const StoredRule& rule = replacing[i];
    if (replacement.state(i) == RuleReplacement::State::Done) {
      for (Publication& publication :
           resultOf(rule, {RuleOutcome::Kind::Retranslated, {}, rule.file})) {
        publications.push_back(std::move(publication));
      }
    } else if (!present(rule.file)) {
      const std::optional<RuleFileError>& error = replacement.error(i);
      std::string reason = error ? error->reason() : "the new file could not be put in place";
      if (replacement.state(i) == RuleReplacement::State::Refused) {
        reason = "the check refused the new translation: " + replacement.refusal(i);
      }
      fail(store_.rule(rule.name).value_or(rule), reason, failures, publications);
    }
  }
  // Else they stay unsettled: once the directory is durable, those whose
  // files did not arrive are taken back and taken again by the pass.
  if (!failures.empty() && durable) {
    store_.record(failures, present);
  }
}

}  // namespace talvoro
