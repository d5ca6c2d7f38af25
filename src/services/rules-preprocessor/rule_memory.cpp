#include "rule_memory.h"

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
  const std::vector<std::string> takenBack = store_.settle(presentIn(directory_));
  for (const std::string& name : takenBack) {
    TRACE_AS(kClientFunction, trace_, Warning,
             "Хранилище состояния: правило %s возвращено к прежней версии, её файл не был "
             "установлен",
             name.c_str());
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
  try {
    store_.keepStructure(hash, {});
  } catch (const std::exception& error) {
    TRACE_AS(kClientFunction, trace_, Error, "Хранилище состояния %s не записано: %s",
             store_.path().c_str(), error.what());
  }
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
