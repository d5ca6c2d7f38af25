#include "service.h"

#include <fmt/format.h>
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "batch_limits.h"
#include "configuration.h"
#include "early_rules.h"
#include "inventory.h"
#include "mqtt_session_settings.h"
#include "rule_memory.h"
#include "rule_batch.h"
#include "rule_directory.h"
#include "rule_report.h"
#include "saved_configuration.h"
#include "service_state.h"
#include "service_trace.h"
#include "state_store.h"
#include "stop_signals.h"
#include "systemd_notifier.h"
#include "talvoro/mosquitto/mqtt_async_wrapper.h"
#include "talvoro/rule_crc.h"
#include "talvoro/rule_name.h"
#include "talvoro/rules_protocol.h"

namespace talvoro {
namespace {

using protocol::kConfigurationTopic;

// Without a stop signal descriptor, how often the idle loop looks for one.
constexpr std::chrono::milliseconds kStopPoll{200};
// After messages this large, free heap goes back to the system at once.
constexpr std::size_t kTrimAfterBytes = 1024 * 1024;
// Otherwise once the loop has found nothing to do for this long.
constexpr std::chrono::milliseconds kTrimWhenIdleFor{250};
// How long a re-translation works before the loop looks for messages, so
// that a rule arriving meanwhile waits well under a second.
constexpr std::chrono::milliseconds kRetranslationSlice{200};

// The oldest message that waits to be handled, if any.
using TakeWaiting = std::function<std::optional<mosquitto::Message>()>;

RuleMessage ruleMessageOf(mosquitto::Message&& message) {
  return {protocol::ruleNameOfTopic(message.topic), std::move(message.payload)};
}

// Rule messages that are already waiting behind `first`, as long as each
// names another rule (two versions of one rule go in separate batches, so
// that the second is decided against the first) and the limits allow.
// The message that ends the batch is handed back in `next`.
std::vector<RuleMessage> collectBatch(const TakeWaiting& takeWaiting, mosquitto::Message first,
                                      std::optional<mosquitto::Message>& next,
                                      std::size_t& bytes, const BatchLimits& limits) {
  std::vector<RuleMessage> batch;
  bytes = first.payload.size();
  std::unordered_set<std::string> names{protocol::ruleNameOfTopic(first.topic)};
  batch.push_back(ruleMessageOf(std::move(first)));
  while (batch.size() < limits.maxMessages() && bytes < BatchLimits::kMaxBytes) {
    std::optional<mosquitto::Message> message = takeWaiting();
    if (!message) {
      break;
    }
    if (message->topic == kConfigurationTopic ||
        message->topic == protocol::kInventoryRequestTopic ||
        !names.insert(protocol::ruleNameOfTopic(message->topic)).second) {
      next = std::move(message);
      break;
    }
    bytes += message->payload.size();
    batch.push_back(ruleMessageOf(std::move(*message)));
  }
  return batch;
}

// Installs a batch; what its file work cost sets the limits of the next.
std::vector<RuleReport> installTimed(RuleInstaller& installer, BatchLimits& limits,
                                     std::vector<RuleMessage> batch,
                                     const Configuration& configuration) {
  const auto started = BatchLimits::Clock::now();
  std::vector<RuleReport> reports = installer.install(
      std::move(batch), configuration.structure(), configuration.structureHash());
  const auto replaced = std::count_if(reports.begin(), reports.end(), [](const RuleReport& r) {
    return r.outcome.kind == RuleOutcome::Kind::Installed ||
           r.outcome.kind == RuleOutcome::Kind::Cleared ||
           r.outcome.kind == RuleOutcome::Kind::Failed;
  });
  limits.took(static_cast<std::size_t>(replaced), BatchLimits::Clock::now() - started);
  return reports;
}

// Free heap goes back to the system once the service has been idle for a
// moment after work, whatever the work's size, and at once after large
// messages. Not whenever the loop finds nothing waiting: a publisher that
// sends rules one after another would have the heap (the state store's page
// cache among it) faulted back in for every rule.
class HeapTrim {
 public:
  using Clock = std::chrono::steady_clock;

  void afterWork(std::size_t bytes) {
    due_ = true;
    lastWork_ = Clock::now();
    if (bytes > kTrimAfterBytes) {
      trim();
    }
  }

  // Trims once the service has been idle long enough; until then, how long
  // is left.
  std::optional<std::chrono::milliseconds> whenIdle() {
    if (!due_) {
      return std::nullopt;
    }
    const Clock::duration idle = Clock::now() - lastWork_;
    if (idle >= kTrimWhenIdleFor) {
      trim();
      return std::nullopt;
    }
    return std::chrono::ceil<std::chrono::milliseconds>(kTrimWhenIdleFor - idle);
  }

 private:
  void trim() {
    malloc_trim(0);
    due_ = false;
  }

  bool due_ = false;
  Clock::time_point lastWork_;
};

std::optional<std::chrono::milliseconds> earliest(std::optional<std::chrono::milliseconds> a,
                                                  std::optional<std::chrono::milliseconds> b) {
  if (!a || !b) {
    return a ? a : b;
  }
  return std::min(*a, *b);
}

// Results tell the publisher what happened and statuses acknowledge rules;
// one that cannot be sent costs only a record.
void publish(mosquitto::MqttAsyncWrapper& client, P7::TraceChannel& trace,
             const Publication& publication) {
  const bool status = publication.kind == Publication::Kind::Status;
  try {
    client.Send(publication.topic, publication.payload, mosquitto::Qos::AtLeastOnce, status);
  } catch (const std::runtime_error& error) {
    if (status) {
      TRACE_AS(kClientFunction, trace, Error,
               "Правило %s установлено, но статус не отправлен: %s", publication.rule.c_str(),
               error.what());
    } else {
      TRACE_AS(kClientFunction, trace, Error, "Результат не отправлен в %s: %s",
               publication.topic.c_str(), error.what());
    }
  }
}

// Since when and why the broker cannot be reached, for the status line.
// Written by the MQTT client's threads, read by the receive loop.
class LinkTrouble {
 public:
  void note(const mosquitto::LinkEvent& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (event.kind == mosquitto::LinkEvent::Kind::Connected) {
      since_.reset();
    } else if (event.kind != mosquitto::LinkEvent::Kind::Error) {
      since_ = since_.value_or(std::chrono::system_clock::now());
      reason_ = event.text;
    }
  }

  std::string describe() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!since_) {
      return "connecting to the broker";
    }
    const std::time_t since = std::chrono::system_clock::to_time_t(*since_);
    std::tm utc{};
    gmtime_r(&since, &utc);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &utc);
    return fmt::format("broker unreachable since {}: {}", when, reason_);
  }

 private:
  mutable std::mutex mutex_;
  std::optional<std::chrono::system_clock::time_point> since_;
  std::string reason_;
};

// The state in words for systemd's status line.
std::string statusLine(bool connected, const ServiceState& state, const LinkTrouble& trouble,
                       RuleDirectory& directory) {
  if (!connected) {
    return trouble.describe();
  }
  if (state.announced() == "ready") {
    return fmt::format("ready, {} rules installed", directory.installedRules());
  }
  if (state.announced() == "waiting") {
    return "waiting for the IO structure on " + kConfigurationTopic;
  }
  return "connected to the broker, subscribing";
}

// Link trouble and recovery go to the trace log as they happen.
void traceLinkEvent(P7::TraceChannel& trace, const mosquitto::LinkEvent& event) {
  using Kind = mosquitto::LinkEvent::Kind;
  switch (event.kind) {
    case Kind::Connected:
      TRACE_AS(kClientFunction, trace, Info, "Соединение с брокером установлено: %s",
               event.text.c_str());
      break;
    case Kind::ConnectFailed:
      TRACE_AS(kClientFunction, trace, Warning, "Не удалось подключиться к брокеру: %s",
               event.text.c_str());
      break;
    case Kind::ConnectionLost:
      TRACE_AS(kClientFunction, trace, Warning, "Соединение с брокером потеряно: %s",
               event.text.c_str());
      break;
    case Kind::Error:
      TRACE_AS(kClientFunction, trace, Error, "Ошибка MQTT: %s", event.text.c_str());
      break;
  }
}

}  // namespace

void add_rule_client_run(RuleCheckSettings checks, const MqttSessionSettings& session,
                         const signing::TrustedKeys* trusted) {
  P7::TraceChannel& trace = *P7::getTrace();
  RuleDirectory directory(rules_dir, trace);
  directory.takeOver();
  // The directory's listing is gone: its heap goes back to the system, so
  // that the idle service holds only the index.
  malloc_trim(0);
  // A new translation of an installed rule is vetted by the check command
  // as a new text is; the syntax check is the installer's alone.
  const RuleChecks retranslationChecks({SyntaxCheckMode::Off, checks.command});
  RuleMemory memory(kStateDirectory, directory, trace, retranslationChecks.commandVet());
  RuleInstaller installer(directory, trace, std::move(checks), trusted, &memory.store());
  BatchLimits limits(trace);
  HeapTrim heapTrim;
  Configuration configuration([&memory](std::string_view text) { memory.keepStructure(text); },
                              trusted);
  SystemdNotifier systemd;
  LinkTrouble trouble;
  auto client = std::make_unique<mosquitto::MqttAsyncWrapper>(clientIdOf(session));
  client->SetEventListener([&trace, &trouble](const mosquitto::LinkEvent& event) {
    trouble.note(event);
    traceLinkEvent(trace, event);
  });
  ServiceState state(*client);
  // With a persistent session, what the broker kept arrives right after it
  // accepted the connection, before the subscriptions below are made again,
  // and waits in the client's receive queue like anything else: the loop
  // takes it only after the kept IO structure is restored.
  client->Connect(!session.persistent, nullptr, nullptr);
  client->Subscribe(kConfigurationTopic, intakeQos(session), false, nullptr, nullptr);
  // A request made while the service is away is not answered later: its
  // asker has given up, and the broker keeps no QoS 0 message for it.
  client->Subscribe(protocol::kInventoryRequestTopic, mosquitto::Qos::AtMostOnce, false, nullptr,
                    nullptr);
  const auto openRulesTopic = [&client, &session] {
    client->Subscribe(protocol::kRulesTopicFilter, intakeQos(session), false, nullptr, nullptr);
  };
  EarlyRules early(trace);
  const TakeWaiting takeWaiting = [&]() -> std::optional<mosquitto::Message> {
    if (configuration.configured()) {
      if (std::optional<mosquitto::Message> held = early.take()) {
        return held;
      }
    }
    return client->TryReceive("/#", std::chrono::milliseconds(0));
  };
  memory.restoreStructure(configuration, SavedConfiguration(), openRulesTopic);
  memory.checkAtStart(configuration);
  // Connecting goes on in the background: a broker that is down must not
  // hold up the start.
  systemd.ready();

  std::optional<mosquitto::Message> next;
  int signal = 0;
  const int stopSignals = stopSignalDescriptor();
  while ((signal = takeStopSignal()) == 0) {
    systemd.keepAlive();
    directory.keepLocked();
    state.update(configuration.configured());
    if (systemd.listening()) {
      systemd.status(statusLine(client->Link().connected, state, trouble, directory));
    }
    std::optional<mosquitto::Message> message = std::move(next);
    next.reset();
    if (memory.retranslating()) {
      for (const Publication& publication :
           memory.retranslate(configuration, kRetranslationSlice)) {
        publish(*client, trace, publication);
      }
    }
    if (!message) {
      message = takeWaiting();
    }
    if (!message && memory.retranslating()) {
      continue;
    }
    if (!message) {
      // Asleep until a message, a change of the link, a stop signal, the
      // watchdog's turn, or the heap's trim.
      std::optional<std::chrono::milliseconds> wake =
          earliest(systemd.untilKeepAlive(), heapTrim.whenIdle());
      if (stopSignals < 0) {
        wake = earliest(wake, kStopPoll);
      }
      client->AwaitActivity(stopSignals, wake);
      continue;
    }
    std::size_t bytes = message->payload.size();
    if (message->topic == kConfigurationTopic) {
      const bool wasConfigured = configuration.configured();
      publish(*client, trace,
              memory.afterConfiguration(configuration.receive(message->payload, openRulesTopic),
                                        configuration));
      if (!wasConfigured && configuration.configured()) {
        early.released();
      }
    } else if (message->topic == protocol::kInventoryRequestTopic) {
      const std::string_view request(message->payload.data(), message->payload.size());
      for (const Publication& publication : memory.inventory(request, configuration)) {
        publish(*client, trace, publication);
      }
    } else if (!configuration.configured()) {
      if (!early.hold(*message)) {
        for (const Publication& publication : publicationsOf(unheldRule(*message))) {
          publish(*client, trace, publication);
        }
      }
    } else {
      std::vector<RuleMessage> batch =
          collectBatch(takeWaiting, std::move(*message), next, bytes, limits);
      for (const RuleReport& report :
           installTimed(installer, limits, std::move(batch), configuration)) {
        for (const Publication& publication : publicationsOf(report)) {
          publish(*client, trace, publication);
        }
      }
    }
    message.reset();
    heapTrim.afterWork(bytes);
  }
  systemd.stopping();
  const RecordsAlsoOnStandardError stopRecord;
  TRACE_AS(__func__, trace, Info, "Получен сигнал %s, сервис останавливается",
           strsignal(signal));
  state.announceStop();
}

}  // namespace talvoro
