#include <gtest/gtest.h>

#include "p7/detail/file_sink.h"
#include "p7/detail/options.h"

namespace {

using namespace P7::detail;
using namespace std::chrono_literals;

TEST(TraceOptions, ServiceStringSetsEverything) {
  const Options options = parseOptions(
      "/P7.Sink=FileTxt /P7.Dir=/var/log/p7//usr/bin/rules-preprocessor "
      "/P7.Roll=24hr /P7.Files=3 /P7.FSize=10 /P7.Trc.Verb=2");
  EXPECT_EQ(options.sink, SinkKind::FileTxt);
  EXPECT_EQ(options.dir, "/var/log/p7//usr/bin/rules-preprocessor");
  EXPECT_EQ(options.rollPeriod, 24h);
  EXPECT_EQ(options.maxFiles, 3u);
  EXPECT_EQ(options.maxTotalBytes, 10u * 1024 * 1024);
  EXPECT_EQ(options.verbosity, 2);

  const RollPolicy policy = rollPolicyFor(options);
  EXPECT_EQ(policy.maxFileBytes, 10u * 1024 * 1024 / 3);
  EXPECT_LE(policy.maxFileBytes * policy.maxFiles, policy.maxTotalBytes);
}

TEST(TraceOptions, JunkValuesKeepDefaultsAndUnknownKeysAreIgnored) {
  const Options defaults;
  const Options options = parseOptions(
      "  /P7.Sink=Baical /P7.Roll=abc /P7.Files=-1 /P7.FSize=99999999999999999999 "
      "/P7.Trc.Verb=9 /P7.Dir= /P7.Unknown=1 junk /P7.Files /Other.Files=2  ");
  EXPECT_EQ(options.sink, defaults.sink);
  EXPECT_EQ(options.dir, defaults.dir);
  EXPECT_EQ(options.rollPeriod, defaults.rollPeriod);
  EXPECT_EQ(options.rollBytes, defaults.rollBytes);
  EXPECT_EQ(options.maxFiles, defaults.maxFiles);
  EXPECT_EQ(options.maxTotalBytes, defaults.maxTotalBytes);
  EXPECT_EQ(options.verbosity, defaults.verbosity);
  EXPECT_GT(defaults.maxTotalBytes, 0u) << "logs must be bounded by default";
  EXPECT_EQ(parseOptions("/P7.Files=0").maxFiles, defaults.maxFiles);
  EXPECT_EQ(parseOptions("/P7.Roll=0hr").rollPeriod, defaults.rollPeriod);
}

TEST(TraceOptions, OtherSinksAndSizeRolling) {
  EXPECT_EQ(parseOptions("/P7.Sink=Console").sink, SinkKind::Console);
  EXPECT_EQ(parseOptions("/P7.Sink=Null").sink, SinkKind::Null);

  const Options options = parseOptions("/P7.Roll=1mb /P7.FSize=10 /P7.Files=3");
  EXPECT_EQ(options.rollBytes, 1024u * 1024);
  EXPECT_EQ(rollPolicyFor(options).maxFileBytes, 1024u * 1024);
}

}  // namespace
