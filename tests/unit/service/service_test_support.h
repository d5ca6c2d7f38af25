#pragma once
// Helpers for the tests of the service's units: the trace records they
// write, and files in a test's own directory.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <fmt/format.h>

#include "p7/trace.h"
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

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace servicetest
