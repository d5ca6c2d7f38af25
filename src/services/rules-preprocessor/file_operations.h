#pragma once
// The pieces of file work that the rule directory's units share: owned
// descriptors, complete writes, and the error of a failed file operation.

#include <unistd.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace talvoro {

// The system's text for an errno value ("No space left on device").
std::string systemErrorText(int error);

// A failed operation on the rule directory. what() names the operation, the
// path and the system's error text; reason() is that text alone. The
// directory holds what it held before the failed replacement.
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
    return RuleFileError(stage, operation, systemErrorText(error), error);
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

// Owns one file descriptor; closed when it goes.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now and reports whether the close succeeded.
  bool close() {
    const int fd = std::exchange(fd_, -1);
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Writes all of `text`, going on after interruptions; false with errno set
// when a write fails.
bool writeAll(int fd, std::string_view text);

// Replaces file `name` in directory `dir` (ending with a slash) by `text` so
// that a power cut leaves the old content or the new, never a mix: written
// to a temporary file, synced, renamed over the old one, the directory
// synced. Throws std::runtime_error naming the operation, the path and the
// system's reason; the old file is then untouched.
void replaceFileDurably(const std::string& dir, const std::string& name, std::string_view text);

}  // namespace talvoro
