#pragma once
// Helpers for tests that compile the service's source into the test binary,
// so that they reach its file-scope state and internal functions.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "p7/trace.h"
#include "testsupport/mosquitto_broker.h"
#include "testsupport/temp_dir.h"
#include "testsupport/text_and_namespaces.h"

namespace servicetest {

// Routes the service's trace records into a directory of the test's own, so
// that tests can check which records a call wrote.
class TraceCapture {
 public:
  TraceCapture() {
    P7::LoggerInit("test", fmt::format("/P7.Sink=FileTxt /P7.Dir={} /P7.Trc.Verb=0",
                                       dir_.path().string()));
  }

  // Everything traced so far.
  std::string text() const {
    std::string all;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      std::ifstream file(entry.path(), std::ios::binary);
      all.append(std::istreambuf_iterator<char>(file), {});
    }
    return all;
  }

  // How often `fragment` occurs in the records written since the last call.
  std::size_t countNew(const std::string& fragment) {
    const std::string all = text();
    const std::size_t count = testsupport::countOccurrences(all, fragment, seen_);
    seen_ = all.size();
    return count;
  }

  void skipToEnd() { seen_ = text().size(); }

 private:
  testsupport::TempDir dir_;
  std::size_t seen_ = 0;
};

// True when this process runs in a private mount namespace with
// /etc/wb-rules mounted over: only then may tests write there or mount over
// parts of the file system.
inline bool inPrivateRulesDir() {
  if (!testsupport::inPrivateMountNamespace()) {
    return false;
  }
  // Field 5 of each mountinfo line is the mount point.
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string field;
    for (int i = 0; i < 5 && fields >> field; ++i) {
    }
    if (field == "/etc/wb-rules") {
      return true;
    }
  }
  return false;
}

// Skips the test, or fails it under CI, outside such a namespace.
#define REQUIRE_PRIVATE_RULES_DIR()                                         \
  do {                                                                      \
    if (!::servicetest::inPrivateRulesDir()) {                              \
      const char* why =                                                     \
          "needs a private mount namespace with /etc/wb-rules mounted over " \
          "(run through run-in-private-mounts.sh)";                         \
      if (::testsupport::runningInCi()) {                                   \
        GTEST_FAIL() << why;                                                \
      }                                                                     \
      GTEST_SKIP() << why;                                                  \
    }                                                                       \
  } while (0)

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace servicetest
