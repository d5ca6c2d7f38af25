#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <thread>

#include "p7/detail/channel.h"
#include "p7/detail/record.h"
#include "p7/trace.h"
#include "trace_test_support.h"

namespace {

using namespace trace_test;
using P7::Level;
using P7::detail::Channel;
using P7::detail::Options;
using P7::detail::SinkKind;

TimePoint localTime(int year, int month, int day, int hour, int minute,
                    int second, int microseconds) {
  std::tm calendar{};
  calendar.tm_year = year - 1900;
  calendar.tm_mon = month - 1;
  calendar.tm_mday = day;
  calendar.tm_hour = hour;
  calendar.tm_min = minute;
  calendar.tm_sec = second;
  calendar.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&calendar)) +
         std::chrono::microseconds(microseconds);
}

class TraceChannel : public testing::Test {
 protected:
  // Text files in `dir`, with the default limits.
  static Options filesIn(const TempDir& dir) {
    Options options;
    options.sink = SinkKind::FileTxt;
    options.dir = dir.path().string();
    return options;
  }

  CapturedStream console;
  FakeClock clock;
  Channel channel{clock.clock(), console.get()};
};

TEST_F(TraceChannel, RecordLayoutWithPrintfFormatting) {
  clock.now = localTime(2026, 12, 7, 5, 30, 1, 123456);
  EXPECT_TRUE(channel.Trace(0, Level::Info, nullptr, 42,
                            "src/services/rules-preprocessor/main.cpp", "main",
                            "Version %s, %zu rules, %lld bytes, code %d",
                            "v2.24-48-g41fdda7", std::size_t{7},
                            -9000000000LL, -5));
  EXPECT_EQ(console.text(),
            "2026-12-07 05:30:01.123456 INFO    "
            "src/services/rules-preprocessor/main.cpp:42 main(): "
            "Version v2.24-48-g41fdda7, 7 rules, -9000000000 bytes, code -5\n");
}

// Fails on 32-bit targets built without a 64-bit time_t.
TEST_F(TraceChannel, TimestampsGoPast2038) {
  clock.now = localTime(2040, 2, 29, 12, 0, 0, 0);
  channel.Trace(0, Level::Info, nullptr, 1, "f.cpp", "f", "x");
  EXPECT_EQ(console.text().substr(0, 26), "2040-02-29 12:00:00.000000");
}

TEST_F(TraceChannel, EveryLevelHasItsName) {
  const char* names[] = {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL"};
  for (int level = 0; level < 6; ++level) {
    channel.Trace(0, static_cast<Level>(level), nullptr, 1, "f.cpp", "f", "x");
  }
  const auto written = lines(console.text());
  ASSERT_EQ(written.size(), 6u);
  for (int level = 0; level < 6; ++level) {
    const std::string afterTimestamp = written[level].substr(27);
    EXPECT_EQ(afterTimestamp.substr(0, afterTimestamp.find(' ')), names[level]);
  }
}

TEST_F(TraceChannel, MessageTextIsKeptWholeButOneTrailingLineFeed) {
  const std::string big(5 * 1024 * 1024, 'z');
  channel.Trace(0, Level::Info, nullptr, 9, "f.cpp", "f", "<%s>", big.c_str());
  channel.Trace(0, Level::Info, nullptr, 1, "f.cpp", "f", "%s", "one\ntwo\n");
  channel.Trace(0, Level::Info, nullptr, 2, "f.cpp", "f", "%s\n\n", "gap");
  channel.Trace(0, Level::Info, nullptr, 3, "f.cpp", "f", "Правило %d: «температура»", 5);
  const std::string text = console.text();
  EXPECT_NE(text.find("f(): one\ntwo\n2"), std::string::npos);
  EXPECT_NE(text.find("f(): gap\n\n2"), std::string::npos);
  EXPECT_NE(text.find("f(): Правило 5: «температура»\n"), std::string::npos);
  EXPECT_NE(text.find("f(): <" + big + ">\n"), std::string::npos);
}

TEST_F(TraceChannel, VerbosityDropsLowerLevelsAndNullSinkDropsAll) {
  Options options;
  options.verbosity = 2;
  channel.configure(options);
  EXPECT_FALSE(channel.Trace(0, Level::Debug, nullptr, 1, "f.cpp", "f", "debug"));
  EXPECT_TRUE(channel.Trace(0, Level::Info, nullptr, 2, "f.cpp", "f", "info"));
  EXPECT_TRUE(channel.Trace(0, Level::Error, nullptr, 3, "f.cpp", "f", "error"));
  const auto written = lines(console.text());
  ASSERT_EQ(written.size(), 2u);
  EXPECT_NE(written[0].find("info"), std::string::npos);

  options.sink = SinkKind::Null;
  channel.configure(options);
  EXPECT_TRUE(channel.Trace(0, Level::Error, nullptr, 4, "f.cpp", "f", "gone"));
  EXPECT_EQ(lines(console.text()).size(), 2u);
}

TEST_F(TraceChannel, MirroredLevelsReachTheConsoleOnceBesideTheFiles) {
  TempDir dir;
  channel.configure(filesIn(dir));
  channel.mirrorToConsole(Level::Error);
  channel.Trace(0, Level::Info, nullptr, 1, "f.cpp", "f", "routine");
  channel.Trace(0, Level::Error, nullptr, 2, "f.cpp", "f", "broken");
  const auto mirrored = lines(console.text());
  ASSERT_EQ(mirrored.size(), 1u);
  EXPECT_NE(mirrored[0].find("broken"), std::string::npos);
  EXPECT_EQ(lines(readFile(traceFiles(dir.path()).at(0))).size(), 2u);

  // Where records go to the console anyway, they are not written twice.
  channel.configure(Options{});
  channel.Trace(0, Level::Error, nullptr, 3, "f.cpp", "f", "once");
  EXPECT_EQ(lines(console.text()).size(), 2u);
}

// Only the part of a message that fits in a file is formatted; the record
// must come out as if the whole message had been cut with its record.
TEST_F(TraceChannel, MessageLongerThanAFileIsCutLikeItsRecord) {
  TempDir dir;
  Options options = filesIn(dir);
  options.maxFiles = 1;
  options.maxTotalBytes = 4096;
  channel.configure(options);
  std::string russian;
  for (int i = 0; i < 50000; ++i) russian += "я";
  channel.Trace(0, Level::Info, nullptr, 9, "f.cpp", "f", "<%s>\n", russian.c_str());

  const auto written = traceFiles(dir.path());
  ASSERT_EQ(written.size(), 1u);
  const std::string whole = P7::detail::formatRecord(clock.now, Level::Info, "f.cpp", 9,
                                                     "f", "<" + russian + ">\n");
  EXPECT_EQ(readFile(written[0]), P7::detail::fitRecord(whole, 4096));
}

TEST_F(TraceChannel, ConcurrentRecordsStayWholeLines) {
  TempDir dir;
  channel.configure(filesIn(dir));

  constexpr int kThreads = 8, kRecords = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      const std::string padding(100 + t * 37, static_cast<char>('a' + t));
      for (int i = 0; i < kRecords; ++i) {
        channel.Trace(0, Level::Info, nullptr, 1, "f.cpp", "f", "T%d #%d %s", t, i, padding.c_str());
      }
    });
  }
  for (auto& thread : threads) thread.join();

  const auto files = traceFiles(dir.path());
  ASSERT_EQ(files.size(), 1u);
  const std::regex whole(R"(.* f\.cpp:1 f\(\): T(\d) #(\d+) ([a-z]+))");
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : lines(readFile(files[0]))) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, whole)) << line.substr(0, 200);
    const int t = std::stoi(match[1]);
    EXPECT_EQ(std::stoi(match[2]), next[t]++) << "records of one thread keep their order";
    EXPECT_EQ(match[3].str(), std::string(100 + t * 37, static_cast<char>('a' + t)));
  }
  EXPECT_EQ(next, std::vector<int>(kThreads, kRecords));
}

TEST(TracePublicApi, LoggerInitReconfiguresTheOneChannel) {
  TempDir dir;
  P7::TraceChannel* before = P7::getTrace();
  ASSERT_NE(before, nullptr);
  const std::string logDir = dir.path().string() + "//usr/bin/rules-preprocessor";
  P7::TraceChannel* trace = P7::LoggerInit(std::string(P7::MainTrace),
      "/P7.Sink=FileTxt /P7.Dir=" + logDir + " /P7.Roll=24hr /P7.Files=3 /P7.FSize=10 /P7.Trc.Verb=2");
  EXPECT_EQ(trace, before);
  EXPECT_EQ(P7::getTrace(), trace);
  EXPECT_FALSE(trace->Trace(0, Level::Debug, nullptr, __LINE__, __FILE__, __func__, "hidden"));
  EXPECT_TRUE(trace->Trace(0, Level::Info, nullptr, __LINE__, __FILE__, __func__, "Version %s", "v1"));

  const auto files = traceFiles(dir.path() / "usr/bin/rules-preprocessor");
  ASSERT_EQ(files.size(), 1u);
  const std::string text = readFile(files[0]);
  EXPECT_NE(text.find("INFO    tests/unit/trace/channel_test.cpp:"), std::string::npos) << text;
  EXPECT_NE(text.find("TestBody(): Version v1\n"), std::string::npos) << text;
  EXPECT_EQ(P7::LoggerInit(P7::MainTrace, "/P7.Sink=Null"), before);
}

}  // namespace
