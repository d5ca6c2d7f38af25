#include <gtest/gtest.h>

#include "p7/detail/file_sink.h"
#include "trace_test_support.h"

namespace {

using namespace trace_test;
using namespace std::chrono_literals;
using P7::detail::FileSink;
using P7::detail::RollPolicy;

std::string record(char fill, std::size_t size) {
  return std::string(size - 1, fill) + '\n';
}

void writeFile(const fs::path& path, std::size_t size) {
  std::ofstream(path) << std::string(size, '.');
}

class TraceFiles : public testing::Test {
 protected:
  FileSink sink(const RollPolicy& policy) {
    return FileSink(dir.path(), policy, clock.clock(), fallback.get());
  }
  // Writes and moves the clock on, as time passes between real records.
  void write(FileSink& sink, const std::string& text) {
    EXPECT_TRUE(sink.write(text));
    clock.advance(1ms);
  }

  TempDir dir;
  FakeClock clock;
  CapturedStream fallback;
};

TEST_F(TraceFiles, RollBySizeKeepsOnlyTheNewestFiles) {
  RollPolicy policy;
  policy.maxFiles = 3;
  policy.maxFileBytes = 1000;
  FileSink files = sink(policy);
  for (char fill = 'a'; fill < 'a' + 10; ++fill) write(files, record(fill, 400));

  const auto kept = traceFiles(dir.path());
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(readFile(kept[0]), record('e', 400) + record('f', 400));
  EXPECT_EQ(readFile(kept[2]), record('i', 400) + record('j', 400));
  EXPECT_EQ(fallback.text(), "");
}

TEST_F(TraceFiles, RollByTimeStartsANewFileEveryPeriod) {
  RollPolicy policy;
  policy.maxFileAge = 24h;
  FileSink files = sink(policy);
  write(files, record('a', 10));
  clock.advance(23h);
  write(files, record('b', 10));
  clock.advance(1h);
  write(files, record('c', 10));
  clock.advance(48h);
  write(files, record('d', 10));

  const auto written = traceFiles(dir.path());
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(readFile(written[0]), record('a', 10) + record('b', 10));
  EXPECT_EQ(readFile(written[2]), record('d', 10));
}

TEST_F(TraceFiles, TotalSizeStaysUnderLimitCountingEarlierRuns) {
  writeFile(dir.path() / "trace_20200101-000000-000000.log", 2500);
  writeFile(dir.path() / "trace_20200101-000000-000000_1.log", 1000);
  writeFile(dir.path() / "notes.txt", 5000);
  RollPolicy policy;
  policy.maxFiles = 10;
  policy.maxTotalBytes = 4000;
  policy.maxFileBytes = 1000;
  FileSink files = sink(policy);
  EXPECT_FALSE(fs::exists(dir.path() / "trace_20200101-000000-000000.log"));

  for (int i = 0; i < 30; ++i) {
    write(files, record('x', 300));
    std::uintmax_t total = 0;
    for (const auto& file : traceFiles(dir.path())) total += fs::file_size(file);
    EXPECT_LE(total, 4000u);
  }
  EXPECT_EQ(traceFiles(dir.path()).size(), 4u);
  EXPECT_TRUE(fs::exists(dir.path() / "notes.txt")) << "only trace files are deleted";
}

TEST_F(TraceFiles, EverySinkStartsItsOwnFileEvenInTheSameMicrosecond) {
  FileSink first = sink({});
  FileSink second = sink({});
  first.write("first\n");
  second.write("second\n");
  const auto written = traceFiles(dir.path());
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(readFile(written[0]), "first\n");
  EXPECT_EQ(readFile(written[1]), "second\n");
}

TEST_F(TraceFiles, RecordLongerThanAFileIsCutWithAMarker) {
  RollPolicy policy;
  policy.maxFileBytes = 1001;
  FileSink files = sink(policy);
  std::string russian;
  for (int i = 0; i < 2500; ++i) russian += "я";
  write(files, russian + "\n");
  write(files, "after\n");

  const auto written = traceFiles(dir.path());
  ASSERT_EQ(written.size(), 2u);
  const std::string cut = readFile(written[0]);
  EXPECT_LE(cut.size(), 1001u);
  const std::string marker = " [truncated]\n";
  ASSERT_GT(cut.size(), marker.size());
  EXPECT_EQ(cut.substr(cut.size() - marker.size()), marker);
  EXPECT_EQ((cut.size() - marker.size()) % 2, 0u) << "a character was split";
  EXPECT_EQ(readFile(written[1]), "after\n");
}

TEST_F(TraceFiles, CreatesNestedDirectoriesDespiteDoubleSlash) {
  const fs::path nested = dir.path().string() + "//usr/bin/rules-preprocessor";
  FileSink files(nested, {}, clock.clock(), fallback.get());
  write(files, "hello\n");
  const auto written = traceFiles(dir.path() / "usr" / "bin" / "rules-preprocessor");
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(readFile(written[0]), "hello\n");
  EXPECT_EQ(fallback.text(), "");
}

TEST_F(TraceFiles, UnusableDirectoryFallsBackToStandardErrorSayingSoOnce) {
  writeFile(dir.path() / "plain-file", 1);
  const fs::path impossible = dir.path() / "plain-file" / "logs";
  FileSink files(impossible, {}, clock.clock(), fallback.get());
  write(files, "one\n");
  write(files, "two\n");

  const auto written = lines(fallback.text());
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(written[0].rfind("trace: cannot write to " + impossible.string() + ": ", 0), 0u)
      << written[0];
  EXPECT_NE(written[0].find("; writing to standard error"), std::string::npos);
  EXPECT_EQ(written[1], "one");
  EXPECT_EQ(written[2], "two");
}

// The directory is deleted and a plain file put in its place, so that it can
// be neither written nor created again until the file is gone.
TEST_F(TraceFiles, FailedDirectoryIsTriedAgainEveryFewSecondsUntilItWorks) {
  const fs::path logs = dir.path() / "logs";
  FileSink files(logs, {}, clock.clock(), fallback.get());
  write(files, "one\n");
  fs::remove_all(logs);
  writeFile(logs, 1);
  write(files, "two\n");
  clock.advance(FileSink::kRetryInterval);
  write(files, "three\n");
  fs::remove(logs);
  write(files, "four\n");
  clock.advance(FileSink::kRetryInterval);
  write(files, "five\n");
  write(files, "six\n");

  const auto onStderr = lines(fallback.text());
  ASSERT_EQ(onStderr.size(), 5u) << fallback.text();
  EXPECT_EQ(onStderr[0].rfind("trace: cannot write to " + logs.string() + ": ", 0), 0u);
  EXPECT_EQ(onStderr[1], "two");
  EXPECT_EQ(onStderr[2], "three") << "a failed retry is not reported again";
  EXPECT_EQ(onStderr[3], "four") << "no retry before the interval has passed";
  const auto written = traceFiles(logs);
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(onStderr[4], "trace: writing to " + written[0].string() + " again");
  EXPECT_EQ(readFile(written[0]), "five\nsix\n");
}

}  // namespace
