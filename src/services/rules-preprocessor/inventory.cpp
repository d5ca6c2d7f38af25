#include "inventory.h"

#include <dirent.h>
#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <set>

#include "rule_names.h"
#include "talvoro/files/file_read.h"
#include "talvoro/rules_protocol.h"

namespace talvoro {
namespace {

// An installed file, by its own name, and the hash its name gives.
struct InstalledFile {
  std::string rule;
  std::string file;
  std::string hash;
};

// The installed files of the directory: regular files named like installed
// versions. A directory that cannot be read holds none.
std::vector<InstalledFile> installedFiles(const RuleDirectory& directory) {
  std::vector<InstalledFile> files;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.path().c_str()), ::closedir);
  if (!dir) {
    return files;
  }
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::optional<InstalledName> name = parseInstalledFileName(entry->d_name);
    struct stat status {};
    if (name && ::stat(directory.pathOf(entry->d_name).c_str(), &status) == 0 &&
        S_ISREG(status.st_mode)) {
      files.push_back({name->rule, entry->d_name, name->hash});
    }
  }
  return files;
}

// Whether the file's content is what the service wrote: its name carries the
// hash of the text written.
bool asWritten(const RuleDirectory& directory, const InstalledFile& file) {
  try {
    const std::optional<std::string> text =
        files::readRegularFile(directory.pathOf(file.file), protocol::kMaxPayloadBytes);
    return text && fmt::format("{}", std::hash<std::string>{}(*text)) == file.hash;
  } catch (const std::exception&) {
    return false;
  }
}

InventoryEntry::State storedState(const StoredRule& rule, const std::string& structureHash,
                                  std::string& reason) {
  if (rule.structure == structureHash || structureHash.empty()) {
    return InventoryEntry::State::Current;
  }
  reason = !rule.reason.empty() && rule.pass == structureHash
               ? rule.reason
               : "not yet translated again against the IO structure in use";
  return InventoryEntry::State::Stale;
}

nlohmann::json entryJson(const InventoryEntry& entry) {
  nlohmann::json rule = {{"name", entry.name},
                         {"crc", entry.crc},
                         {"timestamp", entry.timestamp},
                         {"file", entry.file},
                         {"state", inventoryStateName(entry.state)}};
  if (!entry.reason.empty()) {
    rule["reason"] = entry.reason;
  }
  return rule;
}

}  // namespace

const char* inventoryStateName(InventoryEntry::State state) {
  switch (state) {
    case InventoryEntry::State::Current: return "current";
    case InventoryEntry::State::Stale: return "stale";
    case InventoryEntry::State::Modified: return "modified";
    case InventoryEntry::State::Missing: return "missing";
    case InventoryEntry::State::Unknown: return "unknown";
  }
  return "unknown";
}

std::vector<InventoryEntry> takeInventory(StateStore& store, const RuleDirectory& directory,
                                          const std::string& structureHash) {
  std::vector<InstalledFile> files = installedFiles(directory);
  std::sort(files.begin(), files.end(),
            [](const InstalledFile& a, const InstalledFile& b) { return a.file < b.file; });
  std::set<std::string> named;
  std::vector<InventoryEntry> entries;
  std::string after;
  for (;;) {
    const std::vector<StoredRule> page = store.listRules(after, protocol::kInventoryPageRules);
    for (const StoredRule& rule : page) {
      InventoryEntry entry{rule.name, rule.crc, rule.timestamp, rule.file, {}, {}};
      const auto file = std::lower_bound(
          files.begin(), files.end(), rule.file,
          [](const InstalledFile& f, const std::string& name) { return f.file < name; });
      if (file == files.end() || file->file != rule.file) {
        entry.state = InventoryEntry::State::Missing;
      } else if (!asWritten(directory, *file)) {
        entry.state = InventoryEntry::State::Modified;
        named.insert(rule.file);
      } else {
        entry.state = storedState(rule, structureHash, entry.reason);
        named.insert(rule.file);
      }
      entries.push_back(std::move(entry));
    }
    if (page.size() < protocol::kInventoryPageRules) {
      break;
    }
    after = page.back().name;
  }
  for (const InstalledFile& file : files) {
    if (named.count(file.file) == 0) {
      entries.push_back({file.rule, 0, 0, file.file, InventoryEntry::State::Unknown, {}});
    }
  }
  std::stable_sort(entries.begin(), entries.end(),
                   [](const InventoryEntry& a, const InventoryEntry& b) { return a.name < b.name; });
  return entries;
}

std::map<InventoryEntry::State, std::size_t> countStates(
    const std::vector<InventoryEntry>& entries) {
  std::map<InventoryEntry::State, std::size_t> counts;
  for (const InventoryEntry& entry : entries) {
    ++counts[entry.state];
  }
  return counts;
}

bool validInventoryRequest(std::string_view request) {
  return request.size() <= protocol::kMaxInventoryRequestBytes;
}

std::vector<Publication> inventoryPages(std::string_view request,
                                        const std::vector<InventoryEntry>& entries,
                                        const std::string& structureHash) {
  const auto page = [&](std::size_t k, std::size_t n) {
    return nlohmann::json{{"request", std::string(request)},
                          {"structure", structureHash},
                          {"page", k},
                          {"pages", n},
                          {"rules", nlohmann::json::array()}};
  };
  const auto publication = [](const nlohmann::json& body) {
    return Publication{Publication::Kind::Result, {}, protocol::kInventoryTopic, jsonText(body)};
  };
  if (!validInventoryRequest(request)) {
    nlohmann::json body = page(1, 1);
    body["request"] = std::string(request.substr(0, protocol::kMaxInventoryRequestBytes));
    body["error"] = fmt::format("the request id is longer than {} bytes ({} bytes)",
                                protocol::kMaxInventoryRequestBytes, request.size());
    return {publication(body)};
  }
  const std::size_t perPage = protocol::kInventoryPageRules;
  const std::size_t pages = std::max<std::size_t>(1, (entries.size() + perPage - 1) / perPage);
  std::vector<Publication> publications;
  for (std::size_t k = 0; k < pages; ++k) {
    nlohmann::json body = page(k + 1, pages);
    for (std::size_t i = k * perPage; i < std::min(entries.size(), (k + 1) * perPage); ++i) {
      body["rules"].push_back(entryJson(entries[i]));
    }
    publications.push_back(publication(body));
  }
  return publications;
}

}  // namespace talvoro
