#pragma once
// Helpers shared by the trace tests: a private directory per test, a clock
// the test moves by hand, and a stream whose output the test can read back.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "p7/detail/file_sink.h"

namespace trace_test {

namespace fs = std::filesystem;
using P7::detail::TimePoint;

class TempDir {
 public:
  TempDir() {
    std::string name = (fs::path(testing::TempDir()) / "trace_test_XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = name;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

struct FakeClock {
  TimePoint now = std::chrono::system_clock::from_time_t(1796621400);  // Dec 2026
  P7::detail::Clock clock() {
    return [this] { return now; };
  }
  void advance(std::chrono::system_clock::duration by) { now += by; }
};

class CapturedStream {
 public:
  CapturedStream() : file_(std::tmpfile()) {}
  ~CapturedStream() { std::fclose(file_); }
  CapturedStream(const CapturedStream&) = delete;
  CapturedStream& operator=(const CapturedStream&) = delete;
  std::FILE* get() const { return file_; }
  std::string text() const {
    std::string result(static_cast<std::size_t>(std::ftell(file_)), '\0');
    std::rewind(file_);
    result.resize(std::fread(result.data(), 1, result.size(), file_));
    return result;
  }

 private:
  std::FILE* file_;
};

inline std::string readFile(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

// Trace files in `dir`, oldest first.
inline std::vector<fs::path> traceFiles(const fs::path& dir) {
  std::vector<fs::path> files;
  P7::detail::TraceFileName name;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (parseTraceFileName(entry.path().filename().string(), name)) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace trace_test
