// The operator's check command and the check settings: the command line's
// words, what the command is given and kept from, its verdicts, and the
// environment variables that the service starts with.

#include "check_command.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "rule_check_settings.h"
#include "service_test_support.h"
#include "testsupport/eventually.h"

namespace talvoro {
namespace {

using namespace std::chrono_literals;
using servicetest::readFile;
using servicetest::writeFile;

// Runs `script` with sh, the file as $1.
std::string shell(const std::string& script) { return "/bin/sh -c '" + script + "' sh %s"; }

// Whether process `pid` is gone (or a zombie waiting for its parent).
bool processGone(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string skip;
  std::string state;
  std::getline(stat, skip, ')');
  return !(stat >> state) || state == "Z";
}

class CheckCommandTest : public ::testing::Test {
 protected:
  CheckCommandTest() { writeFile(file_, "var a = 1;\n"); }

  CheckCommandVerdict check(const std::string& commandLine,
                            std::chrono::milliseconds timeout = CheckCommand::kTimeout) {
    return CheckCommand(commandLine, timeout).check(file_.string());
  }

  testsupport::TempDir dir_;
  std::filesystem::path file_ = dir_.path() / ".rule.js.new";
};

TEST(CheckCommandLine, SplitsWordsWithoutAShell) {
  const CheckCommand command(
      "/bin/echo 'a  b' \"c \\\"d\\\" \\\\ 'e'\" f\\ g $HOME * ~ | > %s --file=%s 100%%");
  EXPECT_EQ(command.program(), "/bin/echo");
  EXPECT_EQ(command.argumentsFor("/etc/wb-rules/x"),
            (std::vector<std::string>{"/bin/echo", "a  b", "c \"d\" \\ 'e'", "f g", "$HOME", "*",
                                      "~", "|", ">", "/etc/wb-rules/x",
                                      "--file=/etc/wb-rules/x", "100%"}));
}

TEST(CheckCommandLine, RefusesWhatCannotBeRun) {
  const std::map<std::string, std::string> refused{
      {"", "the command line holds no command"},
      {" \t ", "the command line holds no command"},
      {"/bin/true 'open %s", "the quote ' at 11 is not closed"},
      {"/bin/true \"open %s", "the quote \" at 11 is not closed"},
      {"/bin/true %s \\", "a backslash ends the command line"},
      {"/bin/true %d", "%d in \"%d\": only %s (the file) and %% (a percent sign) are replaced"},
      {"/bin/true %s 5%", "a lone % in \"5%\": only %s (the file) and %% (a percent sign) "
                          "are replaced"},
      {"/bin/true", "no %s in the command line: the command must be given the file"},
      {"/bin/true %%s", "no %s in the command line: the command must be given the file"},
      {"true %s", "the program true is not an absolute path (no PATH is searched)"},
      {"/no/such/checker %s", "the program /no/such/checker cannot be run: No such file or "
                              "directory"},
      {"/etc/passwd %s", "the program /etc/passwd cannot be run: Permission denied"},
      {"/usr/bin %s", "the program /usr/bin is not a file"},
  };
  for (const auto& [line, message] : refused) {
    try {
      CheckCommand command(line);
      ADD_FAILURE() << "accepted: " << line;
    } catch (const CheckCommandError& error) {
      EXPECT_EQ(error.what(), message) << line;
    }
  }
}

TEST_F(CheckCommandTest, AcceptsWhenTheCommandExitsWithZeroAndGivesItTheFile) {
  const std::filesystem::path copy = dir_.path() / "seen";
  const CheckCommandVerdict verdict = check(shell("cp \"$1\" " + copy.string()));
  EXPECT_TRUE(verdict.accepted) << verdict.reason;
  EXPECT_EQ(readFile(copy), "var a = 1;\n");
}

TEST_F(CheckCommandTest, RefusalQuotesTheFirstLineOfStandardError) {
  EXPECT_EQ(check(shell("echo out; printf \"\\n  rule.js:3: missing ;  \\nmore\\n\" >&2; exit 3"))
                .reason,
            "check command exited with status 3: rule.js:3: missing ;");
  EXPECT_EQ(check(shell("echo only on stdout; exit 1")).reason,
            "check command exited with status 1: only on stdout");
  EXPECT_EQ(check(shell("exit 1")).reason, "check command exited with status 1");
  EXPECT_FALSE(check(shell("exit 1")).accepted);
  EXPECT_EQ(check(shell("kill -SEGV $$")).reason,
            "check command ended by signal 11 (Segmentation fault)");
}

TEST_F(CheckCommandTest, KeepsOnlyTheStartOfALargeOutput) {
  const CheckCommandVerdict verdict =
      check(shell("head -c 20000000 /dev/zero | tr \"\\0\" x >&2; exit 1"));
  EXPECT_FALSE(verdict.accepted);
  EXPECT_EQ(verdict.reason, "check command exited with status 1: " + std::string(300, 'x') + "...");
}

TEST_F(CheckCommandTest, KillsTheWholeGroupAtTheTimeout) {
  const CheckCommandVerdict verdict =
      check(shell("sleep 60 & echo $! > \"$1.pid\"; echo waiting >&2; sleep 60"), 300ms);
  EXPECT_FALSE(verdict.accepted);
  EXPECT_EQ(verdict.reason, "check command did not finish within 300 ms and was killed: waiting");
  const std::string pid = readFile(file_.string() + ".pid");
  ASSERT_FALSE(pid.empty());
  EXPECT_TRUE(testsupport::eventually([&] { return processGone(pid.substr(0, pid.size() - 1)); }));
}

TEST_F(CheckCommandTest, KillsWhatTheCommandLeftRunning) {
  // The leftover holds the outputs open: the end is noticed all the same.
  const CheckCommandVerdict verdict = check(shell("sleep 60 & echo $! > \"$1.pid\""));
  EXPECT_TRUE(verdict.accepted) << verdict.reason;
  const std::string pid = readFile(file_.string() + ".pid");
  EXPECT_TRUE(testsupport::eventually([&] { return processGone(pid.substr(0, pid.size() - 1)); }));
}

TEST_F(CheckCommandTest, RunsWithACleanEnvironmentNoInputNoDescriptorsInTheRoot) {
  setenv("RULES_TEST_SECRET", "mqtt-password", 1);
  const int inherited = open("/dev/null", O_RDONLY);  // without O_CLOEXEC
  const CheckCommandVerdict verdict = check(
      shell("env > \"$1.env\"; ls /proc/self/fd > \"$1.fd\"; cat > \"$1.in\"; pwd > \"$1.pwd\""));
  close(inherited);
  unsetenv("RULES_TEST_SECRET");

  EXPECT_TRUE(verdict.accepted) << verdict.reason;
  const std::string environment = readFile(file_.string() + ".env");
  EXPECT_EQ(environment.find("RULES_TEST_SECRET"), std::string::npos) << environment;
  EXPECT_NE(environment.find(checkCommandEnvironment().front() + "\n"), std::string::npos)
      << environment;
  // 0 to 2, and the one that ls reads the directory with.
  EXPECT_EQ(readFile(file_.string() + ".fd"), "0\n1\n2\n3\n");
  EXPECT_EQ(readFile(file_.string() + ".in"), "");
  EXPECT_EQ(readFile(file_.string() + ".pwd"), "/\n");
}

TEST_F(CheckCommandTest, StartsWithNoSignalBlockedOrIgnored) {
  // As in the service: stop signals blocked, and SIGPIPE ignored by a library.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &stop, &before);
  const auto pipeHandler = signal(SIGPIPE, SIG_IGN);
  // grep, started directly (a shell would clear them itself), finds the
  // lines with empty signal sets (but for the C library's own real-time
  // signals, which it ignores in every process it starts).
  const CheckCommandVerdict blocked =
      check("/bin/grep -q \"^SigBlk:[[:space:]]*0*$\" /proc/self/status %s");
  const CheckCommandVerdict ignored =
      check("/bin/grep -qE \"^SigIgn:[[:space:]]*[0-9a-f]{8}[08]0{7}$\" /proc/self/status %s");
  signal(SIGPIPE, pipeHandler);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  EXPECT_TRUE(blocked.accepted) << blocked.reason;
  EXPECT_TRUE(ignored.accepted) << ignored.reason;
}

TEST_F(CheckCommandTest, AProgramGoneSinceTheStartRefusesTheRule) {
  const std::filesystem::path program = dir_.path() / "checker";
  std::filesystem::copy_file("/bin/true", program);
  const CheckCommand command(program.string() + " %s");
  std::filesystem::remove(program);
  const CheckCommandVerdict verdict = command.check(file_.string());
  EXPECT_FALSE(verdict.accepted);
#ifdef RP_UNDER_USER_MODE_EMULATOR
  // The emulator cannot hand the failed exec back: the child's exit status tells it.
  EXPECT_EQ(verdict.reason, "check command exited with status 127");
#else
  EXPECT_EQ(verdict.reason, "check command: cannot start " + program.string() +
                                ": No such file or directory");
#endif
}

TEST(RuleCheckSettings, TakesTheModesAndTheCommandFromTheEnvironment) {
  const auto settingsOf = [](std::map<std::string, std::string> environment) {
    return ruleCheckSettingsFrom([environment](const char* name) -> const char* {
      const auto found = environment.find(name);
      return found != environment.end() ? found->second.c_str() : nullptr;
    });
  };
  EXPECT_EQ(settingsOf({}).syntaxCheck, SyntaxCheckMode::Warn);
  EXPECT_FALSE(settingsOf({}).command);
  EXPECT_EQ(settingsOf({{"RULES_SYNTAX_CHECK", ""}}).syntaxCheck, SyntaxCheckMode::Warn);
  EXPECT_EQ(settingsOf({{"RULES_SYNTAX_CHECK", "warn"}}).syntaxCheck, SyntaxCheckMode::Warn);
  EXPECT_EQ(settingsOf({{"RULES_SYNTAX_CHECK", "reject"}}).syntaxCheck, SyntaxCheckMode::Reject);
  EXPECT_EQ(settingsOf({{"RULES_SYNTAX_CHECK", "off"}}).syntaxCheck, SyntaxCheckMode::Off);
  EXPECT_FALSE(settingsOf({{"RULES_CHECK_COMMAND", ""}}).command);
  const RuleCheckSettings withCommand =
      settingsOf({{"RULES_CHECK_COMMAND", "/bin/true --quiet %s"}});
  ASSERT_TRUE(withCommand.command);
  EXPECT_EQ(withCommand.command->argumentsFor("f"),
            (std::vector<std::string>{"/bin/true", "--quiet", "f"}));

  for (const char* mode : {"strict", "Reject", " warn", "1"}) {
    try {
      settingsOf({{"RULES_SYNTAX_CHECK", mode}});
      ADD_FAILURE() << "accepted: " << mode;
    } catch (const RuleCheckSettingsError& error) {
      EXPECT_EQ(error.what(), "RULES_SYNTAX_CHECK=\"" + std::string(mode) +
                                  "\" is not a mode: expected warn, reject or off");
    }
  }
  try {
    settingsOf({{"RULES_CHECK_COMMAND", "node --check %s"}});
    ADD_FAILURE() << "accepted a program without its path";
  } catch (const RuleCheckSettingsError& error) {
    EXPECT_STREQ(error.what(),
                 "RULES_CHECK_COMMAND=\"node --check %s\": the program node is not an absolute "
                 "path (no PATH is searched)");
  }
}

}  // namespace
}  // namespace talvoro
