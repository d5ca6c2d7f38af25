#include "rule_memory.h"

#include <filesystem>
#include <system_error>

#include "inventory.h"
#include "rule_batch.h"
#include "service_trace.h"
#include "talvoro/rule_result.h"

namespace talvoro {

RuleMemory::RuleMemory(const std::string& stateDirectory, RuleDirectory& directory,
                       P7::TraceChannel& trace, RuleReplacement::Vet vet)
    : store_(stateDirectory), directory_(directory), trace_(trace),
      pass_(directory, store_, trace, std::move(vet)) {
  if (!store_.opening().setAside.empty()) {
    TRACE_AS(kClientFunction, trace_, Error,
             "Хранилище состояния было повреждено (%s) и перенесено в %s; создано новое",
             store_.opening().setAsideWhy.c_str(), store_.opening().setAside.c_str());
  }
  // A directory the start-up sweep could not sync is compared at the first
  // write, once it is durable.
  std::vector<std::string> takenBack;
  settleWhenDurable(store_, directory_, &takenBack);
  for (const std::string& name : takenBack) {
    TRACE_AS(kClientFunction, trace_, Warning,
             "Хранилище состояния: правило %s возвращено к прежней версии, её файл не был "
             "установлен",
             name.c_str());
  }
}

void RuleMemory::restoreStructure(Configuration& configuration, const SavedConfiguration& legacy,
                                  const Configuration::OpenRulesTopic& openRulesTopic) {
  const files::Swept swept = legacy.sweep();
  for (const std::string& path : swept.removed) {
    TRACE_AS(kClientFunction, trace_, Warning,
             "Удалён файл %s, оставшийся от прерванного сохранения структуры ввода-вывода",
             path.c_str());
  }
  for (const files::FileError& failure : swept.failures) {
    traceFileFailure(trace_, failure.what());
  }
  std::string source = store_.path();
  try {
    std::optional<StoredStructure> kept = store_.structure();
    const bool takingOver = !kept || kept->text.empty();
    std::optional<std::string> text;
    if (takingOver) {
      source = legacy.path();
      text = legacy.load();
    } else {
      text = std::move(kept->text);
    }
    if (!text) {
      return;
    }
    configuration.restore(*text, openRulesTopic);
    TRACE_AS(kClientFunction, trace_, Info,
             "Структура ввода-вывода восстановлена из %s: элементов %zu", source.c_str(),
             configuration.structure().size());
    if (takingOver) {
      try {
        keepStructure(*text);
      } catch (const std::exception& error) {
        TRACE_AS(kClientFunction, trace_, Error,
                 "Структура ввода-вывода из %s не перенесена в хранилище состояния %s: %s",
                 source.c_str(), store_.path().c_str(), error.what());
        return;  // the file keeps it until a later start takes it over
      }
    }
    retireLegacy(legacy);
  } catch (const std::exception& error) {
    TRACE_AS(kClientFunction, trace_, Error,
             "Сохранённая структура ввода-вывода %s не принята: %s", source.c_str(),
             excerpt(error.what(), kMaxErrorTextInRecord).c_str());
  }
}

void RuleMemory::keepStructure(std::string_view text) {
  store_.keepStructure(structureHashOf(text), text);
}

// Once the store keeps the IO structure, the file that kept it before goes;
// should its removal be lost to a power cut, the next start removes it again.
void RuleMemory::retireLegacy(const SavedConfiguration& legacy) {
  std::error_code error;
  if (std::filesystem::remove(legacy.path(), error)) {
    TRACE_AS(kClientFunction, trace_, Info,
             "Структура ввода-вывода перенесена из %s в хранилище состояния %s; файл удалён",
             legacy.path().c_str(), store_.path().c_str());
  } else if (error) {
    TRACE_AS(kClientFunction, trace_, Warning, "Файл %s не удалён: %s", legacy.path().c_str(),
             error.message().c_str());
  }
}

void RuleMemory::checkAtStart(const Configuration& configuration) {
  const std::string hash = configuration.structureHash();
  const auto counts = countStates(takeInventory(store_, directory_, hash));
  const auto count = [&counts](InventoryEntry::State state) {
    const auto found = counts.find(state);
    return found == counts.end() ? std::size_t{0} : found->second;
  };
  TRACE_AS(kClientFunction, trace_, Info,
           "Хранилище состояния %s сверено с каталогом правил: правил %zu, устаревших %zu, "
           "изменённых %zu, без файла %zu, неизвестных файлов %zu",
           store_.path().c_str(), store_.ruleCount(), count(InventoryEntry::State::Stale),
           count(InventoryEntry::State::Modified), count(InventoryEntry::State::Missing),
           count(InventoryEntry::State::Unknown));
  if (!hash.empty()) {
    structureHash_ = hash;
    pass_.begin(hash);
  }
}

Publication RuleMemory::afterConfiguration(Publication result,
                                           const Configuration& configuration) {
  const std::string hash = configuration.structureHash();
  if (hash.empty() || hash == structureHash_) {
    return result;
  }
  structureHash_ = hash;
  if (const std::size_t awaiting = pass_.begin(hash); awaiting > 0) {
    nlohmann::json body = nlohmann::json::parse(result.payload);
    body[protocol::kRetranslatingField] = awaiting;
    result.payload = jsonText(body);
  }
  return result;
}

std::vector<Publication> RuleMemory::retranslate(const Configuration& configuration,
                                                 std::chrono::milliseconds budget) {
  std::optional<RetranslationCounts> done;
  std::vector<Publication> publications;
  try {
    publications = pass_.step(configuration.structure(), budget, done);
  } catch (const std::exception& error) {
    TRACE_AS(kClientFunction, trace_, Error,
             "Повторная трансляция прервана до следующей структуры или запуска: %s",
             error.what());
    pass_.abandon();
  }
  if (done) {
    publications.push_back(configuration.resultWith(
        {{protocol::kRetranslatedField, done->retranslated},
         {protocol::kFailedField, done->failed}}));
  }
  return publications;
}

std::vector<Publication> RuleMemory::inventory(std::string_view request,
                                               const Configuration& configuration) {
  const std::string hash = configuration.structureHash();
  if (!validInventoryRequest(request)) {
    TRACE_AS(kClientFunction, trace_, Warning, "Запрос инвентаризации отклонён: id длиной %zu байт",
             request.size());
    return inventoryPages(request, {}, hash);
  }
  return inventoryPages(request, takeInventory(store_, directory_, hash), hash);
}

}  // namespace talvoro
