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

#include "deployment.h"

namespace talvoro::push {

enum class Format { Text, Json };

// One line of output: the outcome of a rule (`name` its name) or of a
// configuration (`name` its file); `outcome` null when none came.
struct ItemLine {
  std::string broker;
  bool configuration = false;
  std::string name;
  std::optional<std::uint32_t> crc;
  const Outcome* outcome = nullptr;
};

// The exit status of several brokers together: the worst, in the order 5
// (login refused), 3 (no answer), 4 (would be sent), 1, 6 (installed with a
// warning), 0.
int worstStatus(const std::vector<int>& statuses);

// How the run on one broker ended: its exit status, and whether a stop
// signal cut it short.
struct RunEnd {
  int status;
  bool interrupted;
};

// The tool's exit status: 128 + `signal` when a signal cut a run short,
// else the worst of the runs' statuses.
int exitStatus(const std::vector<RunEnd>& ends, int signal);

// The text line of an item, without the newline: "[<broker>: ]<label>:
// <outcome>[: <reason>][ (warning: <warning>)]", the label being
// "configuration" for one.
std::string textLine(const ItemLine& item, bool withBroker);
// The JSON line of an item, without the newline; fields in the order broker,
// name or configuration, outcome, crc, reason and warning (when there is one).
std::string jsonLine(const ItemLine& item);
// The last JSON line: {"summary":{outcome:count,...},"exit":status}.
std::string jsonSummaryLine(const std::map<std::string, std::size_t>& counts, int exitStatus);

// Prints to `out`, from any thread, whole lines only, each flushed at once so
// that a reader sees every outcome as it comes. Counts every item for the
// JSON summary.
class Reporter {
 public:
  Reporter(std::ostream& out, Format format, bool withBroker);

  void item(const ItemLine& item);
  // A text summary of one broker's items, as Deployment::summary makes it;
  // nothing with JSON, which has one summary at the end.
  void summary(const std::string& broker, const std::string& text);
  // The end of the output: the JSON summary line (nothing with text).
  void finish(int exitStatus);

 private:
  void print(const std::string& line);

  std::ostream& out_;
  Format format_;
  bool withBroker_;
  std::mutex mutex_;
  std::map<std::string, std::size_t> counts_;
};

}  // namespace talvoro::push
