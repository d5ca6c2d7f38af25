// rules-push: deploys rules (and an IO structure) to rules-preprocessor on
// one or several brokers over MQTT and waits for the service's result of
// each one, sending again what got no answer. See usageText() for the
// command line.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include "broker_run.h"
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

long long secondsNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Everything is read before anything is published, so that a bad command
// line or file publishes nothing.
Plan planOf(const PushOptions& options) {
  Plan plan{options.configuration, {}, {}, options.timeout, options.retries, options.check};
  if (options.configuration) {
    plan.configuration = readInput(*options.configuration);
  }
  plan.rules = loadRules(options);
  plan.deadline =
      options.deadline.value_or(defaultDeadline(options, plan.rules.size(), kMaxInFlight));
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

// Unreadable credentials show here, before anything is published: exit
// status 2 as for any unreadable input.
std::unique_ptr<ServiceSession> openSession(const std::string& broker, bool check) {
  try {
    return std::make_unique<ServiceSession>(
        broker, check ? ServiceSession::Purpose::Check : ServiceSession::Purpose::Deploy);
  } catch (const mosquitto::MqttError& error) {
    throw InputError(error.what());
  }
}

RunEnd runOnBroker(std::unique_ptr<ServiceSession> session, const Plan& plan,
                  Reporter& reporter) {
  const std::string broker = session->broker();
  try {
    BrokerRun run(std::move(session), plan, reporter, stopSignal);
    const int status = run.run();
    return {status, run.interrupted()};
  } catch (const std::exception& error) {
    std::cerr << "rules-push: " + broker + ": " + error.what() + "\n" << std::flush;
    return {3, stopSignal.load() != 0};
  }
}

int pushAll(const PushOptions& options) {
  const std::vector<std::string> brokers =
      brokerAddresses(options, std::getenv("MQTT_BROKER_URL"));
  const Plan plan = planOf(options);
  exportTlsFiles(options);
  std::vector<std::unique_ptr<ServiceSession>> sessions;
  for (const std::string& broker : brokers) {
    sessions.push_back(openSession(broker, options.check));
  }
  Reporter reporter(std::cout, options.json ? Format::Json : Format::Text, brokers.size() > 1);
  installStopHandlers();
  std::vector<RunEnd> ends(brokers.size(), RunEnd{3, false});
  std::vector<std::thread> runs;
  for (std::size_t i = 0; i < sessions.size(); ++i) {
    runs.emplace_back([&, i, session = std::move(sessions[i])]() mutable {
      ends[i] = runOnBroker(std::move(session), plan, reporter);
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
