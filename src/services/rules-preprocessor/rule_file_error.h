#pragma once
// The error of a failed operation on the rule directory, with the stage of
// the replacement it ended.

#include <stdexcept>
#include <string>

#include "talvoro/files/file_error.h"

namespace talvoro {

// what() names the operation, the path and the system's error text;
// reason() is that text alone.
class RuleFileError : public std::runtime_error {
 public:
  enum class Stage {
    Lookup,   // the installed versions could not be found out
    Create,   // the new version could not be put in place
    Remove,   // the installed version could not be moved out of the way
  };

  RuleFileError(Stage stage, const std::string& operation, const std::string& reason,
                int code = 0);

  static RuleFileError fromErrno(Stage stage, const std::string& operation, int error) {
    return RuleFileError(stage, operation, files::systemErrorText(error), error);
  }

  Stage stage() const { return stage_; }
  const std::string& reason() const { return reason_; }
  // The errno value, 0 when the failure has no system error.
  int code() const { return code_; }

 private:
  Stage stage_;
  std::string reason_;
  int code_;
};

}  // namespace talvoro
