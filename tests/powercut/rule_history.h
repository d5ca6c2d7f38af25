#pragma once
// What the proof sent to the service and what the service acknowledged, and the judgement of a
// rule directory against it: the invariants that must hold after every power cut.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "crash_fs.h"
#include "store_image.h"

namespace powercut {

// One breach of the invariants: its kind (for the summary) and what it is, in a line.
struct Violation {
  std::string kind;
  std::string detail;
};

class RuleHistory {
 public:
  // `translate` gives the text that the service installs for a text sent.
  explicit RuleHistory(std::function<std::string(const std::string&)> translate)
      : translate_(std::move(translate)) {}

  // A rule message about to be published; messages are numbered in the order sent.
  void sent(const std::string& name, const std::string& text);
  // The service's status (CRC-32) and result (JSON) messages, as they arrive. A rule's messages
  // are answered in the order sent; a status belongs to the oldest unanswered message.
  void status(const std::string& name, const std::string& payload);
  void result(const std::string& name, const std::string& payload);
  bool allAnswered() const { return unanswered_ == 0; }
  // The unanswered messages were lost with the service that had them.
  void forgetUnanswered();
  std::size_t acknowledgements() const { return acknowledgements_; }
  std::size_t acknowledgedClears() const { return acknowledgedClears_; }

  // Every breach of the invariants by `dir` (the rule directory after the start-up sweep), and
  // every status or result that answered no message in hand, each as one line:
  //  - a rule has at most one installed version, and one if its newest acknowledged message
  //    installed a version and no clear was sent after it;
  //  - an installed file holds exactly the translation of a (non-empty) text sent for its rule;
  //  - an acknowledged rule holds the acknowledged text or one sent later; an acknowledged clear
  //    stays cleared unless a later message installed the rule again;
  //  - no temporary or aside file of the service is left.
  std::vector<Violation> violations(const DirectoryImage& dir);

  // Every breach by `store` (read after the start-up check) of the invariants that tie it to
  // `dir` and to what was sent and acknowledged, each as one line:
  //  - a stored text was sent for its rule, its CRC is the text's, and its file was translated
  //    against the IO structure that the store names;
  //  - store and directory agree: the file a rule's row names is installed and holds the
  //    translation of the stored text, and every installed file is named by its rule's row;
  //  - an acknowledged rule has the acknowledged text in the store, or a text sent later; an
  //    acknowledged clear has none, or a text sent later.
  std::vector<Violation> storeViolations(const StoreImage& store, const DirectoryImage& dir) const;

 private:
  struct Message {
    std::size_t number;
    std::uint32_t crc;
    std::string installedText;
  };
  struct Rule {
    std::vector<Message> sent;
    std::deque<std::size_t> unanswered;  // indexes into `sent`
    std::optional<std::size_t> acknowledged;  // the newest acknowledged message's number
  };

  void judgeStoredRow(const StoredRow& row, const std::string& structure, const DirectoryImage& dir,
                      std::vector<Violation>& found) const;
  void judgeAcknowledged(const std::string& name, const Rule& rule, const StoredRow* row,
                         std::vector<Violation>& found) const;
  void judgeRule(const std::string& name, const Rule& rule, const std::vector<std::string>& files,
                 const DirectoryImage& dir, std::vector<Violation>& found) const;

  std::function<std::string(const std::string&)> translate_;
  std::map<std::string, Rule> rules_;
  std::size_t sentCount_ = 0;
  std::size_t unanswered_ = 0;
  std::size_t acknowledgements_ = 0;
  std::size_t acknowledgedClears_ = 0;
  std::vector<Violation> strayAnswers_;
};

// "<rule>-__<digits>__.js": the rule's name; nothing for any other name.
std::optional<std::string> ruleOfInstalledFile(const std::string& fileName);
// The service's own hidden files: ".rule-XXXXXX" being written, ".<...>.old" moved aside.
bool isTemporaryFile(const std::string& fileName);
bool isAsideFile(const std::string& fileName);

}  // namespace powercut
