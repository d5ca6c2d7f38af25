// rules-push: deploys rules (and an IO structure) to rules-preprocessor on
// one or many controllers over MQTT, directly or through a central broker,
// and waits for the service's result of each one, sending again what got no
// answer; or plans from, or lists, what each controller has installed. See
// usageText() for the command line.

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <tuple>
#include <optional>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include "broker_link.h"
#include "controller_run.h"
#include "fleet_file.h"
#include "plan_signing.h"
#include "push_options.h"
#include "report.h"
#include "service_session.h"
#include "talvoro/timestamp_line.h"

#ifndef RULES_PREPROCESSOR_VERSION
#error "RULES_PREPROCESSOR_VERSION must be defined by the build"
#endif

namespace talvoro::push {
namespace {

// The signal that asked the tool to stop, 0 before one came.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

extern "C" void onStopSignal(int signal) { stopSignal.store(signal); }

// SIGINT and SIGTERM end the run in an orderly way; a second one (the
// handler is reset after the first) ends the process at once.
void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// Everything is read before anything is published, so that a bad command
// line or file publishes nothing.
Plan planOf(const PushOptions& options, std::size_t inFlight) {
  Plan plan{options.configuration, {}, {}, options.timeout, options.retries, options.check};
  plan.list = options.list;
  plan.pruning = {options.prune, options.pruneUnknown};
  plan.signKey = options.signKey;
  if (options.configuration) {
    plan.configuration = readInput(*options.configuration);
  }
  plan.rules = loadRules(options);
  plan.deadline =
      options.deadline.value_or(defaultDeadline(options, plan.rules.size(), inFlight));
  plan.inFlight = inFlight;
  const long long now = secondsNow();
  if (options.retranslate) {
    for (RuleFile& rule : plan.rules) {
      rule.text = protocol::restamped(rule.text, now);
    }
  }
  if (options.signKey) {
    signDeployment(*options.signKey, now, plan.rules,
                   options.configuration ? &plan.configuration : nullptr);
  }
  return plan;
}

// --cert, --key and --ca stand for the variables that every broker
// connection reads; set before any connection (or thread) exists.
void exportTlsFiles(const PushOptions& options) {
  const std::pair<const std::optional<std::string>*, const char*> files[] = {
      {&options.certFile, "MQTT_CERT_FILE"},
      {&options.keyFile, "MQTT_KEY_FILE"},
      {&options.caFile, "MQTT_CA_FILE"}};
  for (const auto& [file, variable] : files) {
    if (*file) {
      ::setenv(variable, (*file)->c_str(), 1);
    }
  }
}

// The links to the brokers, one per broker and login, shared by the
// controllers behind it. Unreadable credentials show here, before anything
// is published: exit status 2 as for any unreadable input.
class Links {
 public:
  using Key = std::tuple<std::string, bool, std::string, std::string>;

  static Key keyOf(const Controller& controller) {
    return {controller.broker, controller.login.has_value(),
            controller.login ? controller.login->username : "",
            controller.login ? controller.login->passwordFile : ""};
  }

  std::shared_ptr<BrokerLink> of(const Controller& controller) {
    std::shared_ptr<BrokerLink>& link = links_[keyOf(controller)];
    if (!link) {
      try {
        link = std::make_shared<BrokerLink>(controller.broker, controller.login);
      } catch (const mosquitto::MqttError& error) {
        throw InputError(error.what());
      }
    }
    return link;
  }

 private:
  std::map<Key, std::shared_ptr<BrokerLink>> links_;
};

// How many controllers share the busiest connection.
std::size_t busiestLink(const std::vector<Controller>& controllers) {
  std::map<Links::Key, std::size_t> counts;
  std::size_t busiest = 0;
  for (const Controller& controller : controllers) {
    busiest = std::max(busiest, ++counts[Links::keyOf(controller)]);
  }
  return busiest;
}

ServiceSession::Purpose purposeOf(const PushOptions& options) {
  if (options.list) {
    return ServiceSession::Purpose::List;
  }
  return options.check ? ServiceSession::Purpose::Check : ServiceSession::Purpose::Deploy;
}

RunEnd runOnController(std::unique_ptr<ServiceSession> session, const Plan& plan,
                       Reporter& reporter) {
  const std::string label = session->controller().label;
  try {
    ControllerRun run(std::move(session), plan, reporter, stopSignal);
    const int status = run.run();
    return {status, run.interrupted()};
  } catch (const std::exception& error) {
    std::cerr << "rules-push: " + label + ": " + error.what() + "\n" << std::flush;
    return {3, stopSignal.load() != 0};
  }
}

int pushAll(const PushOptions& options) {
  const std::vector<Controller> controllers =
      controllersOf(options, std::getenv("MQTT_BROKER_URL"));
  const Plan plan = planOf(options, inFlightShare(busiestLink(controllers)));
  exportTlsFiles(options);
  Links links;
  std::vector<std::unique_ptr<ServiceSession>> sessions;
  for (const Controller& controller : controllers) {
    sessions.push_back(
        std::make_unique<ServiceSession>(links.of(controller), controller, purposeOf(options)));
  }
  const bool withController = controllers.size() > 1 || options.prefix || options.fleetFile;
  Reporter reporter(std::cout, options.json ? Format::Json : Format::Text, withController);
  installStopHandlers();
  std::vector<RunEnd> ends(controllers.size(), RunEnd{3, false});
  std::vector<std::thread> runs;
  for (std::size_t i = 0; i < sessions.size(); ++i) {
    runs.emplace_back([&, i, session = std::move(sessions[i])]() mutable {
      ends[i] = runOnController(std::move(session), plan, reporter);
    });
  }
  for (std::thread& run : runs) {
    run.join();
  }
  const int status = exitStatus(ends, stopSignal.load());
  reporter.finish(status);
  return status;
}

std::vector<std::string> argumentsOf(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

}  // namespace
}  // namespace talvoro::push

int main(int argc, char** argv) {
  using namespace talvoro::push;
  try {
    const PushOptions options = parseArguments(argumentsOf(argc, argv));
    if (options.help) {
      std::cout << usageText();
      return 0;
    }
    if (options.version) {
      std::cout << "rules-push " RULES_PREPROCESSOR_VERSION "\n";
      return 0;
    }
    return pushAll(options);
  } catch (const UsageError& error) {
    std::cerr << "rules-push: " << error.what() << "\n(rules-push --help explains the usage)\n";
    return 2;
  } catch (const InputError& error) {
    std::cerr << "rules-push: " << error.what() << "\n";
    return 2;
  } catch (const std::exception& error) {
    std::cerr << "rules-push: " << error.what() << "\n";
    return 3;
  }
}
