// The command line: --help and --version answer, anything else is refused.

#include "command_line.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace talvoro {
namespace {

struct Answer {
  std::optional<int> status;
  std::string out;
  std::string err;
};

Answer run(std::vector<const char*> args) {
  args.insert(args.begin(), "rules-preprocessor");
  std::ostringstream out;
  std::ostringstream err;
  const auto status = handleCommandLine(static_cast<int>(args.size()), args.data(), out, err);
  return {status, out.str(), err.str()};
}

TEST(CommandLine, RunsOnlyWithoutArguments) {
  EXPECT_EQ(run({}).status, std::nullopt);

  const Answer help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: rules-preprocessor", 0), 0u) << help.out;
  const Answer version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("rules-preprocessor ") + RULES_PREPROCESSOR_VERSION + "\n");

  for (const auto& args : std::vector<std::vector<const char*>>{
           {"--bogus"}, {"-h"}, {"start"}, {"--help", "now"}, {"--version", "--help"}}) {
    const Answer refused = run(args);
    EXPECT_EQ(refused.status, 2) << args.back();
    EXPECT_TRUE(refused.out.empty());
    EXPECT_NE(refused.err.find(std::string("'") + args.back() + "'"), std::string::npos)
        << refused.err;
  }
}

}  // namespace
}  // namespace talvoro
