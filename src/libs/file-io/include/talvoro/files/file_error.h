#pragma once
// The error of a failed file operation: the path and the system's reason, in
// words that callers put behind their own name of the operation.

#include <stdexcept>
#include <string>

namespace talvoro::files {

// The system's text for an errno value ("No space left on device").
std::string systemErrorText(int error);

// what() is "<path>: <reason>".
class FileError : public std::runtime_error {
 public:
  // `code` is the errno value, 0 when the failure has no system error.
  FileError(const std::string& path, const std::string& reason, int code = 0);
  static FileError fromErrno(const std::string& path, int error) {
    return FileError(path, systemErrorText(error), error);
  }

  const std::string& path() const { return path_; }
  const std::string& reason() const { return reason_; }
  int code() const { return code_; }

 private:
  std::string path_;
  std::string reason_;
  int code_;
};

}  // namespace talvoro::files
