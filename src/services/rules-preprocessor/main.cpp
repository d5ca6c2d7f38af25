// rules-preprocessor: takes the controller's IO structure and automation rules
// over MQTT, resolves the placeholders of each rule against the IO structure,
// installs the result as one file per rule in the rule engine's directory and
// acknowledges every installed rule with the CRC-32 of the text it received.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <boost/regex.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fmt/format.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "p7/trace.h"
#include "talvoro/io_structure.h"
#include "talvoro/mosquitto/mqtt_async_wrapper.h"

// The version text comes from the build (CMakeLists.txt), which also derives
// the package version from it.
#ifndef RULES_PREPROCESSOR_VERSION
#error "RULES_PREPROCESSOR_VERSION must be defined by the build"
#endif

// Records of the rule client carry the function name of its entry point, also
// when the work is done in one of its helpers, so that the log reads the same
// however the code is split.
#define TRACE_AS(function, trace, level, ...)                                \
  (trace).Trace(0, P7::Level::level, nullptr, __LINE__, __FILE__, function, \
                __VA_ARGS__)

namespace talvoro {
namespace {

IoStructure m_configuration;
std::string rules_dir = "/etc/wb-rules/";
std::unordered_map<std::string, std::size_t> m_current_rules;
const std::regex k_epoch_ts_re(R"(^\s*//\s*([0-9]{10,})\s*$)");
std::size_t m_structure_hash = 0;
std::mutex m_current_rules_mutex;

constexpr const char* kClientFunction = "add_rule_client_run";
const std::string kConfigurationTopic = "/tl/bridge/configuration";
const std::string kRulesTopicFilter = "/tl/bridge/rules/add/+";
const std::string kRulesTopicPrefix = "/tl/bridge/rules/add/";
const std::string kStatusTopicPrefix = "/tl/bridge/rules/status/";
const std::string kInstalledFileSeparator = "-__";
const std::string kInstalledFileSuffix = "__.js";

// A timestamp line is short; longer lines are not handed to std::regex, whose
// matcher recurses per character and would exhaust the stack on a line of
// megabytes.
constexpr std::size_t kMaxTimestampLineLength = 1024;
constexpr std::size_t kTimestampLinesSearched = 10;

// ---------------------------------------------------------------------------
// Placeholder translation

// Resolves one placeholder match against the current IO structure.
struct PlaceholderResolver {
  P7::TraceChannel& trace;

  std::string operator()(const boost::smatch& match) const {
    const std::string kind = match[1].str();
    const std::string key = match[2].str();
    const auto found = m_configuration.find(key);
    if (found == m_configuration.end()) {
      throw std::runtime_error("Parse error!");
    }
    const IoInfo& element = *found->second;
    if (kind == "DEVICE") {
      return element.deviceName;
    }
    if (kind == "VIRTUAL_DEVICE") {
      return element.virtualDeviceName;
    }
    if (kind == "PORT") {
      return fmt::format("{}", element.port);
    }
    const auto cells = element.getCells();
    if (cells.empty()) {
      TRACE_AS(__func__, trace, Error, "Ячеек для %s нет вообще. Что делать?",
               key.c_str());
      throw std::runtime_error("Parse error!");
    }
    if (cells.size() > 1) {
      TRACE_AS(__func__, trace, Warning,
               "Количество ячеек для %s больше одной. Наугад выберу первую.",
               key.c_str());
    }
    return *cells.begin();
  }
};

}  // namespace

// Replaces every DEVICE_NAME(key), VIRTUAL_DEVICE_NAME(key), PORT_NAME(key)
// and CELL_NAME(key) in `text` by the element's value. Throws
// std::runtime_error("Parse error!") when one of them cannot be resolved.
std::string translate(std::string text) {
  P7::TraceChannel& trace = *P7::getTrace();
  const boost::regex placeholder(
      R"(((?:DEVICE)|(?:CELL)|(?:VIRTUAL_DEVICE)|(?:PORT))_NAME\(([\d\w]+)\))");
  return boost::regex_replace(text, placeholder, PlaceholderResolver{trace});
}

// ---------------------------------------------------------------------------
// Installed rule files

namespace {

// The hash digits of `entry` when it is "<prefix><digits>__.js", the
// installed file name of the rule whose name and separator form `prefix`
// (compared as plain text), else empty.
std::string hashOfInstalledFile(const std::string& entry,
                                const std::string& prefix) {
  const std::size_t fixedLength = prefix.size() + kInstalledFileSuffix.size();
  if (entry.size() <= fixedLength ||
      entry.compare(0, prefix.size(), prefix) != 0 ||
      entry.compare(entry.size() - kInstalledFileSuffix.size(),
                    kInstalledFileSuffix.size(), kInstalledFileSuffix) != 0) {
    return {};
  }
  std::string digits = entry.substr(prefix.size(), entry.size() - fixedLength);
  const bool allDigits = digits.find_first_not_of("0123456789") == std::string::npos;
  return allDigits ? digits : std::string{};
}

std::vector<std::string> listRulesDir() {
  std::vector<std::string> entries;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(rules_dir.c_str()), closedir);
  if (!dir) {
    return entries;
  }
  while (const dirent* entry = readdir(dir.get())) {
    const std::string entryName = entry->d_name;
    if (entryName != "." && entryName != "..") {
      entries.push_back(entryName);
    }
  }
  return entries;
}

}  // namespace

// The hash in the name of the installed file of rule `name`: the first
// directory entry, in directory order, that is exactly the rule name followed
// by "-__", decimal digits and "__.js". Empty when there is none or the rule
// directory cannot be read.
std::string findHash(const std::string& name) {
  const std::string prefix = name + kInstalledFileSeparator;
  for (const std::string& entry : listRulesDir()) {
    std::string digits = hashOfInstalledFile(entry, prefix);
    if (!digits.empty()) {
      return digits;
    }
  }
  return {};
}

namespace {

// The rule timestamp: the number of the first of the first ten lines that is
// a timestamp comment ("// 1733550000"), 0 when none of them is.
long long extractEpochTsOrZero(const std::string& text) {
  std::size_t lineStart = 0;
  for (std::size_t read = 0;
       read < kTimestampLinesSearched && lineStart < text.size(); ++read) {
    const std::size_t lineEnd = std::min(text.find('\n', lineStart), text.size());
    const std::size_t lineLength = lineEnd - lineStart;
    lineStart = lineEnd + 1;
    if (lineLength > kMaxTimestampLineLength) {
      continue;
    }
    const std::string line = text.substr(lineEnd - lineLength, lineLength);
    std::smatch match;
    if (!std::regex_match(line, match, k_epoch_ts_re)) {
      continue;
    }
    try {
      return std::stoll(match[1].str());
    } catch (const std::out_of_range&) {
      // Too large for a timestamp: a later line may still carry one.
    }
  }
  return 0;
}

std::string installedFilePath(const std::string& name, const std::string& hash) {
  return fmt::format("{}{}{}{}{}", rules_dir, name, kInstalledFileSeparator,
                     hash, kInstalledFileSuffix);
}

// ---------------------------------------------------------------------------
// Rule installation

const std::array<std::uint32_t, 256>& crcTable() {
  static std::array<std::uint32_t, 256> table;
  static bool inited = false;
  if (!inited) {
    for (std::uint32_t i = 0; i < table.size(); ++i) {
      std::uint32_t c = i;
      for (int step = 0; step < 8; ++step) {
        c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      }
      table[i] = c;
    }
    inited = true;
  }
  return table;
}

std::uint32_t crc32(const std::vector<char>& bytes) {
  if (bytes.empty()) {
    return 0;
  }
  const auto& table = crcTable();
  std::uint32_t c = 0xFFFFFFFFu;
  for (const char byte : bytes) {
    c = table[(c ^ static_cast<unsigned char>(byte)) & 0xFFu] ^ (c >> 8);
  }
  return c ^ 0xFFFFFFFFu;
}

long long currentEpochSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string ruleNameOf(const std::string& topic) {
  return topic.size() > kRulesTopicPrefix.size()
             ? topic.substr(kRulesTopicPrefix.size())
             : std::string{};
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports whether the close succeeded.
  bool close() {
    const int fd = std::exchange(fd_, -1);
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool writeAll(int fd, const std::string& text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

// A new rule file being written under a name the rule engine ignores (no
// ".js" ending). It is removed again unless it was committed under its final
// name, so a failed write never leaves a half-written rule behind.
class PendingRuleFile {
 public:
  PendingRuleFile() = default;
  ~PendingRuleFile() {
    if (!path_.empty()) {
      ::unlink(path_.c_str());
    }
  }
  PendingRuleFile(const PendingRuleFile&) = delete;
  PendingRuleFile& operator=(const PendingRuleFile&) = delete;

  // Writes and syncs `text` to a fresh temporary file in the rule directory.
  // False when any step failed.
  bool write(const std::string& text) {
    std::string pattern = rules_dir + ".rule-XXXXXX";
    FileDescriptor fd(::mkstemp(pattern.data()));
    if (!fd.valid()) {
      return false;
    }
    path_ = pattern;
    return ::fchmod(fd.get(), 0644) == 0 && writeAll(fd.get(), text) &&
           ::fsync(fd.get()) == 0 && fd.close();
  }

  // Moves the file to `finalPath` and makes the rename durable.
  bool commit(const std::string& finalPath) {
    if (::rename(path_.c_str(), finalPath.c_str()) != 0) {
      return false;
    }
    path_.clear();
    syncRulesDir();
    return true;
  }

 private:
  static void syncRulesDir() {
    FileDescriptor dir(::open(rules_dir.c_str(), O_RDONLY | O_DIRECTORY));
    if (dir.valid()) {
      ::fsync(dir.get());
    }
  }

  std::string path_;
};

// Records the hash of the rule's newest text; traces when it is new or changed.
void rememberRuleHash(P7::TraceChannel& trace, const std::string& name,
                      std::size_t ruleHash, const std::string& translated) {
  const auto [entry, inserted] = m_current_rules.try_emplace(name, ruleHash);
  if (inserted) {
    TRACE_AS(kClientFunction, trace, Info, "Запоминаем хеш для %s: %zu",
             name.c_str(), ruleHash);
    TRACE_AS(kClientFunction, trace, Info, "%s:%s", name.c_str(),
             translated.c_str());
  } else if (entry->second != ruleHash) {
    TRACE_AS(kClientFunction, trace, Info, "Обновляем хеш для %s: %zu",
             name.c_str(), ruleHash);
    TRACE_AS(kClientFunction, trace, Info, "%s:%s", name.c_str(),
             translated.c_str());
    entry->second = ruleHash;
  }
}

// True when the installed file carries a timestamp and `newTimestamp` is not
// newer than it; traces the skip.
bool isOutdated(P7::TraceChannel& trace, const std::string& name,
                const std::string& installedPath, long long newTimestamp) {
  std::ifstream installed(installedPath, std::ios::binary);
  if (!installed) {
    return false;
  }
  const std::string content((std::istreambuf_iterator<char>(installed)),
                            std::istreambuf_iterator<char>());
  const long long oldTimestamp = extractEpochTsOrZero(content);
  if (oldTimestamp <= 0 || newTimestamp > oldTimestamp) {
    return false;
  }
  TRACE_AS(kClientFunction, trace, Warning,
           "Правило %s: новый ts %lld не новее старого %lld — пропускаем обновление.",
           name.c_str(), newTimestamp, oldTimestamp);
  TRACE_AS(kClientFunction, trace, Info,
           "Правило %s: обновление пропущено (устаревший timestamp).",
           name.c_str());
  return true;
}

void removeInstalledFile(P7::TraceChannel& trace, const std::string& path) {
  if (::unlink(path.c_str()) != 0) {
    const int error = errno;
    TRACE_AS(kClientFunction, trace, Error,
             "Ошибка очистки старых правил для wb-rules: %d", error);
  }
}

// Puts the new version of a rule at `newPath` in place of the installed one
// at `installedPath` (empty when there is none): the new text is written
// completely before the old file goes, so a failure keeps the old version. An
// empty text only removes the installed file. False (after the "Create error"
// record) when the new file could not be created.
bool replaceInstalledFile(P7::TraceChannel& trace,
                          const std::string& installedPath,
                          const std::string& newPath,
                          const std::string& translated) {
  PendingRuleFile pending;
  if (!translated.empty() && !pending.write(translated)) {
    TRACE_AS(kClientFunction, *P7::getTrace(), Error, "Create error %s",
             newPath.c_str());
    return false;
  }
  if (!installedPath.empty()) {
    removeInstalledFile(trace, installedPath);
  }
  if (!translated.empty() && !pending.commit(newPath)) {
    TRACE_AS(kClientFunction, *P7::getTrace(), Error, "Create error %s",
             newPath.c_str());
    return false;
  }
  return true;
}

void installRule(mosquitto::MqttAsyncWrapper& client, P7::TraceChannel& trace,
                 const std::string& name, const std::string& statusTopic,
                 const std::vector<char>& payload) {
  const std::string statusPayload = fmt::format("{}", crc32(payload));
  const std::string translated =
      translate(std::string(payload.begin(), payload.end()));
  const std::size_t ruleHash = std::hash<std::string>{}(translated);

  std::lock_guard<std::mutex> lock(m_current_rules_mutex);
  rememberRuleHash(trace, name, ruleHash, translated);
  const std::string installedHash = findHash(name);
  long long newTimestamp = extractEpochTsOrZero(translated);
  if (newTimestamp < 1) {
    newTimestamp = currentEpochSeconds();
  }
  const std::string installedPath =
      installedHash.empty() ? std::string{} : installedFilePath(name, installedHash);
  if (!installedPath.empty() &&
      isOutdated(trace, name, installedPath, newTimestamp)) {
    return;
  }
  const std::string ruleHashText = fmt::format("{}", ruleHash);
  if (ruleHashText == installedHash) {
    TRACE_AS(kClientFunction, trace, Info,
             "Хеш для %s (%zu) не изменился. Не обновляем.", name.c_str(),
             ruleHash);
    return;
  }
  TRACE_AS(kClientFunction, trace, Info,
           "Новый хеш для %s (%zu). Перезаписываем скрипт.", name.c_str(),
           ruleHash);
  if (!replaceInstalledFile(trace, installedPath,
                            installedFilePath(name, ruleHashText), translated)) {
    return;
  }
  client.Send(statusTopic, statusPayload, mosquitto::Qos::AtLeastOnce, true);
}

// ---------------------------------------------------------------------------
// Configuration intake

// Takes over a new IO structure. A payload identical to the last accepted one
// costs one hash; a broken one throws and leaves the IO structure, its hash
// and the subscription state as they were.
void handleConfiguration(const std::vector<char>& payload,
                         mosquitto::MqttAsyncWrapper& client,
                         bool& need_rules_subscription) {
  const std::string text(payload.begin(), payload.end());
  const std::size_t payloadHash = std::hash<std::string>{}(text);
  if (payloadHash == m_structure_hash) {
    return;
  }
  {
    // Declared before the document so that the cache is emptied and memory
    // trimmed only after the document and the old structure are gone.
    TemplateCacheCleanupGuard guard{true};
    const nlohmann::json document = nlohmann::json::parse(text);
    m_configuration = parseIoStructure<IoInfo>(document, guard, false);
    if (need_rules_subscription) {
      client.Subscribe(kRulesTopicFilter, mosquitto::Qos::AtMostOnce, false,
                       nullptr, nullptr);
    }
    m_structure_hash = payloadHash;
  }
  need_rules_subscription = false;
}

}  // namespace

// The service's working life: connects, takes over configurations and
// installs rules, one message at a time, for ever. Only an exception that
// the loop does not absorb leaves it.
void add_rule_client_run() {
  P7::TraceChannel& trace = *P7::getTrace();
  auto client = std::make_unique<mosquitto::MqttAsyncWrapper>(
      fmt::format("regulations_manager_{}", getpid()));
  client->Connect(true, nullptr, nullptr);
  client->Subscribe(kConfigurationTopic, mosquitto::Qos::AtMostOnce, false,
                    nullptr, nullptr);
  bool need_rules_subscription = true;

  for (;;) {
    const mosquitto::Message message = client->Receive("/#", 0);
    if (message.topic == kConfigurationTopic) {
      try {
        handleConfiguration(message.payload, *client, need_rules_subscription);
      } catch (const std::exception& error) {
        TRACE_AS(__func__, trace, Error, "Ошибка обработки конфигурации: %s",
                 error.what());
      }
      continue;
    }
    const std::string name = ruleNameOf(message.topic);
    const std::string statusTopic =
        fmt::format("{}{}", kStatusTopicPrefix, name);
    try {
      installRule(*client, trace, name, statusTopic, message.payload);
    } catch (const std::runtime_error& error) {
      TRACE_AS(__func__, trace, Error, "Ошибка обработки правила для %s: %s\n",
               name.c_str(), error.what());
    }
  }
}

}  // namespace talvoro

#ifndef RULES_PREPROCESSOR_NO_MAIN
int main(int /*argc*/, char** argv) {
  {
    const std::string channel(P7::MainTrace);
    // Without a program path the log still gets a directory of its own.
    const char* programPath = argv[0] != nullptr ? argv[0] : "rules-preprocessor";
    std::string options = fmt::format(
        "/P7.Sink=FileTxt /P7.Dir=/var/log/p7/{} /P7.Roll=24hr /P7.Files=3 "
        "/P7.FSize=10 /P7.Trc.Verb=2",
        programPath);
    P7::TraceChannel* trace = P7::LoggerInit(channel, std::move(options));
    TRACE_AS(__func__, *trace, Info, "Version %s", RULES_PREPROCESSOR_VERSION);
  }
  try {
    talvoro::add_rule_client_run();
  } catch (const std::exception& error) {
    // Exit with a failure so that the supervisor restarts the service.
    TRACE_AS(__func__, *P7::getTrace(), Error, "Аварийное завершение: %s",
             error.what());
    return 1;
  } catch (...) {
    TRACE_AS(__func__, *P7::getTrace(), Error, "%s",
             "Аварийное завершение: неизвестное исключение");
    return 1;
  }
  return 0;
}
#endif
