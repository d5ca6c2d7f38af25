#pragma once
// What rules-push prints on standard output: a line per item as its outcome
// becomes known, the summaries, in text or as JSON lines; and the exit status.

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "controller.h"
#include "deployment.h"
#include "inventory_reader.h"

namespace talvoro::push {

enum class Format { Text, Json };

// One line of output: the outcome of a rule (`name` its name) or of a
// configuration (`name` its file) on `controller`; `outcome` null when none
// came, `noResultReason` then saying why where that is known.
struct ItemLine {
  const Controller* controller = nullptr;
  bool configuration = false;
  std::string name;
  std::optional<std::uint32_t> crc;
  const Outcome* outcome = nullptr;
  std::string noResultReason = {};
};

// The exit status of several controllers together: the worst, in the order
// 5 (login refused), 3 (no answer), 4 (would change), 1, 6 (installed with a
// warning), 0.
int worstStatus(const std::vector<int>& statuses);

// How the run on one controller ended: its exit status, and whether a stop
// signal cut it short.
struct RunEnd {
  int status;
  bool interrupted;
};

// The tool's exit status: 128 + `signal` when a signal cut a run short,
// else the worst of the runs' statuses.
int exitStatus(const std::vector<RunEnd>& ends, int signal);

// The text line of an item, without the newline: "[<controller>: ]<name>:
// <outcome>[: <reason>][ (warning: <warning>)]", the name being
// "configuration" for one.
std::string textLine(const ItemLine& item, bool withController);
// The JSON line of an item, without the newline; fields in the order broker,
// controller (its prefix, where it has one), name or configuration, outcome,
// crc, reason and warning (when there is one).
std::string jsonLine(const ItemLine& item);
// --list: the line of one installed rule, text or JSON.
std::string installedTextLine(const Controller& controller, const InstalledRule& rule,
                              bool withController);
std::string installedJsonLine(const Controller& controller, const InstalledRule& rule);
// A controller's JSON summary line: {"broker":..,"controller":..,
// "summary":{outcome:count,...},"exit":status}.
std::string controllerJsonSummaryLine(const Controller& controller,
                                      const std::map<std::string, std::size_t>& counts,
                                      int exitStatus);
// The last JSON line: {"summary":{outcome:count,...},"exit":status}.
std::string jsonSummaryLine(const std::map<std::string, std::size_t>& counts, int exitStatus);

// Prints to `out`, from any thread, whole lines only, each flushed at once so
// that a reader sees every outcome as it comes. Counts every item for the
// JSON summaries.
class Reporter {
 public:
  // `withController`: lines start with the controller's label, and JSON has
  // a summary line per controller.
  Reporter(std::ostream& out, Format format, bool withController);

  void item(const ItemLine& item);
  // --list: one installed rule, counted by its state.
  void installed(const Controller& controller, const InstalledRule& rule);
  // A text summary of one controller's items, as Deployment::summary makes
  // it; nothing with JSON, which has summary lines of its own.
  void summary(const Controller& controller, const std::string& text);
  // A controller is done: its JSON summary line, with several controllers.
  void controllerDone(const Controller& controller, int exitStatus);
  // The end of the output: the JSON summary line (nothing with text).
  void finish(int exitStatus);

 private:
  void count(const Controller& controller, const std::string& outcome);
  void print(const std::string& line);

  std::ostream& out_;
  Format format_;
  bool withController_;
  std::mutex mutex_;
  std::map<std::string, std::size_t> counts_;
  std::map<const Controller*, std::map<std::string, std::size_t>> controllerCounts_;
};

}  // namespace talvoro::push
