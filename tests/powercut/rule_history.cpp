#include "rule_history.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>

#include "talvoro/rule_crc.h"

namespace powercut {
namespace {

const std::string kInstalledSeparator = "-__";
const std::string kInstalledSuffix = "__.js";

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Enough of a file's content to tell empty, torn and foreign texts apart in a report.
std::string describe(const std::string& content) {
  if (content.empty()) {
    return "it is empty";
  }
  const std::string firstLine = content.substr(0, content.find('\n'));
  return fmt::format("{} bytes, first line \"{}\"", content.size(), firstLine.substr(0, 60));
}

}  // namespace

std::optional<std::string> ruleOfInstalledFile(const std::string& fileName) {
  const std::size_t separator = fileName.rfind(kInstalledSeparator);
  if (separator == std::string::npos || separator == 0 || !endsWith(fileName, kInstalledSuffix)) {
    return std::nullopt;
  }
  const std::size_t digitsAt = separator + kInstalledSeparator.size();
  const std::size_t digitsEnd = fileName.size() - kInstalledSuffix.size();
  if (digitsEnd <= digitsAt ||
      fileName.find_first_not_of("0123456789", digitsAt) != digitsEnd) {
    return std::nullopt;
  }
  return fileName.substr(0, separator);
}

bool isTemporaryFile(const std::string& fileName) { return startsWith(fileName, ".rule-"); }

bool isAsideFile(const std::string& fileName) {
  return startsWith(fileName, ".") && endsWith(fileName, ".old");
}

void RuleHistory::sent(const std::string& name, const std::string& text) {
  Rule& rule = rules_[name];
  rule.sent.push_back({++sentCount_, talvoro::protocol::ruleCrc(text), translate_(text)});
  rule.unanswered.push_back(rule.sent.size() - 1);
  ++unanswered_;
}

void RuleHistory::status(const std::string& name, const std::string& payload) {
  const auto found = rules_.find(name);
  if (found == rules_.end() || found->second.unanswered.empty()) {
    strayAnswers_.push_back(
        {"stray answer", fmt::format("{}: status {} answers no message in hand", name, payload)});
    return;
  }
  Rule& rule = found->second;
  const Message& message = rule.sent[rule.unanswered.front()];
  if (payload != std::to_string(message.crc)) {
    strayAnswers_.push_back({"stray answer", fmt::format("{}: status {} for message #{} with CRC {}",
                                                         name, payload, message.number, message.crc)});
    return;
  }
  rule.acknowledged = std::max(rule.acknowledged.value_or(0), message.number);
  ++acknowledgements_;
  acknowledgedClears_ += message.installedText.empty() ? 1 : 0;
}

void RuleHistory::result(const std::string& name, const std::string& payload) {
  const auto found = rules_.find(name);
  if (found == rules_.end() || found->second.unanswered.empty()) {
    strayAnswers_.push_back(
        {"stray answer", fmt::format("{}: result {} answers no message in hand", name, payload)});
    return;
  }
  Rule& rule = found->second;
  const Message& message = rule.sent[rule.unanswered.front()];
  const auto json = nlohmann::json::parse(payload, nullptr, false);
  if (!json.is_object() || json.value("crc", std::uint32_t{0}) != message.crc) {
    strayAnswers_.push_back({"stray answer", fmt::format("{}: result {} for message #{} with CRC {}",
                                                         name, payload, message.number, message.crc)});
  }
  rule.unanswered.pop_front();
  --unanswered_;
}

void RuleHistory::forgetUnanswered() {
  for (auto& [name, rule] : rules_) {
    rule.unanswered.clear();
  }
  unanswered_ = 0;
}

std::vector<Violation> RuleHistory::violations(const DirectoryImage& dir) {
  std::vector<Violation> found = std::move(strayAnswers_);
  strayAnswers_.clear();
  std::map<std::string, std::vector<std::string>> installed;
  for (const auto& [fileName, content] : dir) {
    if (isTemporaryFile(fileName) || isAsideFile(fileName)) {
      found.push_back({"file left after the sweep", fileName});
    } else if (const auto rule = ruleOfInstalledFile(fileName)) {
      installed[*rule].push_back(fileName);
    } else {
      found.push_back({"foreign file", fileName});
    }
  }
  for (const auto& [name, rule] : rules_) {
    const auto files = installed.find(name);
    judgeRule(name, rule, files != installed.end() ? files->second : std::vector<std::string>{},
              dir, found);
  }
  for (const auto& [name, files] : installed) {
    if (rules_.count(name) == 0) {
      found.push_back({"rule never sent", fmt::format("{}: {}", name, files.front())});
    }
  }
  return found;
}

void RuleHistory::judgeRule(const std::string& name, const Rule& rule,
                            const std::vector<std::string>& files, const DirectoryImage& dir,
                            std::vector<Violation>& found) const {
  if (files.size() > 1) {
    found.push_back({"several installed versions",
                     fmt::format("{}: {} installed versions", name, files.size())});
  }
  const auto acknowledged =
      std::find_if(rule.sent.begin(), rule.sent.end(), [&](const Message& message) {
        return rule.acknowledged && message.number == *rule.acknowledged;
      });
  const bool clearAcknowledged =
      acknowledged != rule.sent.end() && acknowledged->installedText.empty();
  // A clear sent later may have taken effect, acknowledged or not.
  const bool clearedLater =
      std::any_of(rule.sent.begin(), rule.sent.end(), [&](const Message& message) {
        return rule.acknowledged && message.number > *rule.acknowledged &&
               message.installedText.empty();
      });
  if (files.empty() && rule.acknowledged && !clearAcknowledged && !clearedLater) {
    found.push_back({"acknowledged rule lost",
                     fmt::format("{}: message #{} was acknowledged, but no version is installed",
                                 name, *rule.acknowledged)});
  }
  for (const std::string& file : files) {
    const std::string& content = dir.at(file);
    std::optional<std::size_t> newest;  // the newest message whose translation it holds
    for (const Message& message : rule.sent) {
      if (!message.installedText.empty() && message.installedText == content) {
        newest = message.number;
      }
    }
    if (!newest) {
      found.push_back({content.empty() ? "empty file" : "file with no text sent",
                       fmt::format("{}: {} holds no text sent for the rule ({})", name, file,
                                   describe(content))});
    } else if (rule.acknowledged && *newest < *rule.acknowledged) {
      found.push_back({clearAcknowledged ? "acknowledged clear undone"
                                         : "acknowledged text replaced by an older one",
                       fmt::format("{}: {} holds message #{}, older than the acknowledged "
                                   "message #{}",
                                   name, file, *newest, *rule.acknowledged)});
    }
  }
}

std::vector<Violation> RuleHistory::storeViolations(const StoreImage& store,
                                                    const DirectoryImage& dir) const {
  std::vector<Violation> found;
  std::map<std::string, const StoredRow*> rows;
  for (const StoredRow& row : store.rules) {
    rows[row.name] = &row;
    judgeStoredRow(row, store.structure, dir, found);
  }
  for (const auto& [fileName, content] : dir) {
    const auto rule = ruleOfInstalledFile(fileName);
    const auto row = rule ? rows.find(*rule) : rows.end();
    if (rule && (row == rows.end() || row->second->file != fileName)) {
      found.push_back({"installed file not named in the store",
                       fmt::format("{}: {} ({})", *rule, fileName,
                                   row == rows.end() ? "the rule has no row"
                                                     : "the row names " + row->second->file)});
    }
  }
  for (const auto& [name, rule] : rules_) {
    const auto row = rows.find(name);
    judgeAcknowledged(name, rule, row != rows.end() ? row->second : nullptr, found);
  }
  return found;
}

void RuleHistory::judgeStoredRow(const StoredRow& row, const std::string& structure,
                                 const DirectoryImage& dir, std::vector<Violation>& found) const {
  const std::string translated = translate_(row.text);
  const auto rule = rules_.find(row.name);
  const bool sent = rule != rules_.end() &&
                    std::any_of(rule->second.sent.begin(), rule->second.sent.end(),
                                [&](const Message& message) {
                                  return message.crc == row.crc &&
                                         message.installedText == translated;
                                });
  if (row.text.empty() || !sent || talvoro::protocol::ruleCrc(row.text) != row.crc) {
    found.push_back({"stored text never sent",
                     fmt::format("{}: CRC {}, {}", row.name, row.crc, describe(row.text))});
  }
  if (structure.empty() || row.structure != structure) {
    found.push_back({"stored rule for another IO structure",
                     fmt::format("{}: \"{}\", the store names \"{}\"", row.name, row.structure,
                                 structure)});
  }
  // A clear sent after the stored text that failed to be durable leaves the text in the store
  // and its file gone (or back after a cut).
  std::size_t newestText = 0;
  std::size_t newestClear = 0;
  if (rule != rules_.end()) {
    for (const Message& message : rule->second.sent) {
      if (message.installedText.empty()) {
        newestClear = message.number;
      } else if (message.installedText == translated) {
        newestText = message.number;
      }
    }
  }
  const bool clearedLater = newestClear > newestText;
  const auto file = dir.find(row.file);
  if (file == dir.end() && !clearedLater) {
    found.push_back({"stored file missing", fmt::format("{}: {}", row.name, row.file)});
  } else if (file != dir.end() && file->second != translated) {
    found.push_back({"installed file not the stored text",
                     fmt::format("{}: {} ({}) is not the translation of the stored text (CRC {})",
                                 row.name, row.file, describe(file->second), row.crc)});
  }
}

void RuleHistory::judgeAcknowledged(const std::string& name, const Rule& rule,
                                    const StoredRow* row, std::vector<Violation>& found) const {
  if (!rule.acknowledged) {
    return;
  }
  const Message& acknowledged = *std::find_if(
      rule.sent.begin(), rule.sent.end(),
      [&](const Message& message) { return message.number == *rule.acknowledged; });
  // The acknowledged message, or one sent after it, that the row holds; no row when such a
  // message was a clear.
  const bool heldLater =
      std::any_of(rule.sent.begin(), rule.sent.end(), [&](const Message& message) {
        return message.number >= acknowledged.number &&
               (row == nullptr ? message.installedText.empty()
                               : !message.installedText.empty() && message.crc == row->crc);
      });
  if (acknowledged.installedText.empty()) {
    if (!heldLater) {
      found.push_back({"acknowledged clear undone in the store",
                       fmt::format("{}: message #{} cleared it, the store holds CRC {}", name,
                                   acknowledged.number, row->crc)});
    }
  } else if (!heldLater) {
    found.push_back({"acknowledged text not in the store",
                     fmt::format("{}: message #{} (CRC {}) was acknowledged, the store holds {}",
                                 name, acknowledged.number, acknowledged.crc,
                                 row ? fmt::format("CRC {}", row->crc) : "nothing")});
  }
}

}  // namespace powercut
