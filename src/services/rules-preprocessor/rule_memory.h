#pragma once
// What the service remembers of the rules it installed, and what follows
// from it: the state store checked against the rule directory at the start,
// the re-translation when the IO structure changes, the inventory.

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "configuration.h"
#include "p7/trace.h"
#include "publication.h"
#include "retranslation.h"
#include "saved_configuration.h"
#include "rule_directory.h"
#include "state_store.h"

namespace talvoro {

class RuleMemory {
 public:
  // Opens the store in `stateDirectory` and takes back what its last write
  // left that never reached `directory`. Throws sqlite::Error or
  // sqlite::NewerSchema when the store cannot be used.
  // `vet` vets each new translation of a re-translation (the rule check
  // command); it must outlive this.
  RuleMemory(const std::string& stateDirectory, RuleDirectory& directory,
             P7::TraceChannel& trace, RuleReplacement::Vet vet = {});

  StateStore& store() { return store_; }

  // Gives `configuration` the IO structure accepted before the last stop, so
  // that the service is ready after a reboot without anybody sending it
  // again: the store's, or (once) the one that `legacy`, the file that kept
  // it before the store did, holds; that one is taken over into the store
  // and the file removed. A text that is not accepted goes to the trace log.
  void restoreStructure(Configuration& configuration, const SavedConfiguration& legacy,
                        const Configuration::OpenRulesTopic& openRulesTopic);
  // Keeps `text`, the IO structure just accepted, for the next start.
  // Throws sqlite::Error when the store cannot be written.
  void keepStructure(std::string_view text);

  // Once the saved IO structure is restored (or there was none): the counts
  // of rules that are not current go to the trace log, and a re-translation
  // that a stop cut short goes on.
  void checkAtStart(const Configuration& configuration);

  // `result` of a configuration message; when it brought a new IO structure
  // and installed rules are to be translated again, it says how many.
  Publication afterConfiguration(Publication result, const Configuration& configuration);

  bool retranslating() const { return pass_.pending(); }
  // A slice of the re-translation: rule results, and once it is done the
  // configuration result with its counts.
  std::vector<Publication> retranslate(const Configuration& configuration,
                                       std::chrono::milliseconds budget);

  // The answer to an inventory request.
  std::vector<Publication> inventory(std::string_view request,
                                     const Configuration& configuration);

 private:
  void retireLegacy(const SavedConfiguration& legacy);

  StateStore store_;
  RuleDirectory& directory_;
  P7::TraceChannel& trace_;
  RetranslationPass pass_;
  std::string structureHash_;  // of the IO structure the last pass was for
};

}  // namespace talvoro
