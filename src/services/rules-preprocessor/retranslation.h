#pragma once
// The installed rules translated again when a new IO structure is accepted:
// a chunk at a time between batches of arriving rules, every step recorded
// in the state store, so that a pass a stop cut short goes on at the next start.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "p7/trace.h"
#include "publication.h"
#include "rule_directory.h"
#include "rule_replacement.h"
#include "state_store.h"
#include "talvoro/io_structure.h"

namespace talvoro {

// A rule whose new translation differs from its installed file gets a new
// file through the same replacement as any rule, and the result
// "retranslated"; one that no longer translates keeps its file and gets
// "failed" with the reason. The stored text and timestamp stay as they are,
// and no status goes out: the text did not change. Rules whose file is
// missing are left as they are. A new translation is vetted by `vet` (the
// rule check command) like any new text; a refusal keeps the installed file.
class RetranslationPass {
 public:
  RetranslationPass(RuleDirectory& directory, StateStore& store, P7::TraceChannel& trace,
                    RuleReplacement::Vet vet = {});

  // Starts, or takes up again, the pass for IO structure `structureHash`:
  // the number of rules it has yet to take, 0 when there is nothing to do.
  std::size_t begin(const std::string& structureHash);
  bool pending() const { return !structureHash_.empty(); }
  // Leaves the pass until begin() is called again (the next IO structure,
  // the next start), after a failure of the store.
  void abandon() { structureHash_.clear(); }

  // Takes rules, a chunk at a time, until `budget` is spent or none is left;
  // returns the results to publish. When the pass ends, `done` gets its counts.
  std::vector<Publication> step(const IoStructure& structure, std::chrono::milliseconds budget,
                                std::optional<RetranslationCounts>& done);

 private:
  void chunk(const std::vector<StoredRule>& rules, const IoStructure& structure,
             std::vector<Publication>& publications);
  void fail(const StoredRule& rule, const std::string& reason,
            std::vector<StoreChange>& marks, std::vector<Publication>& publications);

  RuleDirectory& directory_;
  StateStore& store_;
  P7::TraceChannel& trace_;
  RuleReplacement::Vet vet_;
  std::string structureHash_;
};

}  // namespace talvoro
