// The built-in syntax check: what it accepts, what it flags and where, and
// that its memory stays within the cap and is given back.

#include "syntax_check.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace talvoro {
namespace {

using Kind = SyntaxVerdict::Kind;

// A rule of the shape of the README's example, placeholders translated.
constexpr const char* kRule = R"js(// 1765090800
var LIGHT_OFF_DELAY_MS = 10 * 60 * 1000;
var offTimer = null;
defineRule("kitchen_light_follows_switch", {
  whenChanged: "wb-gpio/EXT1_IN2",
  then: function (newValue, devName, cellName) {
    dev["relay_7/K2"] = newValue;
    log("kitchen light on port " + 3 + " of kitchen_light: " + newValue);
    if (offTimer) {
      clearTimeout(offTimer);
      offTimer = null;
    }
    if (newValue) {
      offTimer = setTimeout(function () {
        dev["relay_7/K2"] = false;
        offTimer = null;
      }, LIGHT_OFF_DELAY_MS);
    }
  }
});
)js";

TEST(SyntaxCheck, AcceptsValidScripts) {
  SyntaxChecker checker;
  for (const std::string& text : {
           std::string(kRule),
           std::string(""),
           std::string("\xEF\xBB\xBF// a byte order mark first\nvar a = 1;"),
           std::string("log(\"свет включён\"); // комментарий"),
           std::string("var o = { get a() { return 1; }, default: 2, class: 3 }; o.new = o.if;"),
           std::string("outer: for (var i = 0; i < 3; i++) { continue outer; }"),
           std::string("var r = /a+b*[c-e]/gi; var s = 'x\\u0041\\x41'; var n = 017;"),
           std::string("var a = [1, 2, ]; var o = { a: 1, };"),
           std::string("'use strict'; function f(a, b) { return a + b; }"),
           // Accepted by this engine beyond ES5.1, as by the rule engine's own.
           std::string("const limit = 10;"),
       }) {
    const SyntaxVerdict verdict = checker.check(text);
    EXPECT_EQ(verdict.kind, Kind::Valid) << text << ": " << verdict.describe();
    EXPECT_EQ(verdict.describe(), "");
  }
}

TEST(SyntaxCheck, NamesTheEnginesMessageAndTheLine) {
  SyntaxChecker checker;
  const SyntaxVerdict brace = checker.check(
      "defineRule(\"x\", {\n whenChanged: \"a/b\",\n then: function () { log(\"on\") }\n");
  EXPECT_EQ(brace.kind, Kind::Invalid);
  EXPECT_EQ(brace.line, 4);
  EXPECT_EQ(brace.describe(), "SyntaxError: invalid object literal, line 4");

  const SyntaxVerdict third = checker.check("var a;\nvar b;\nvar c = ;\n");
  EXPECT_EQ(third.kind, Kind::Invalid);
  EXPECT_EQ(third.line, 3);
  EXPECT_EQ(third.message.rfind("SyntaxError: ", 0), 0u) << third.message;
}

TEST(SyntaxCheck, FlagsSyntaxLaterThanEs5) {
  SyntaxChecker checker;
  for (const char* text : {
           "let a = 1;", "var f = x => x * 2;", "var s = `on ${port}`;", "class Lamp {}",
           "var {a, b} = o;", "f(...args);", "for (var x of list) {}", "function f(a = 1) {}",
           "async function f() { await g(); }", "function* g() { yield 1; }", "var v = a?.b;",
           "var v = a ?? b;", "var r = /a/u;", "f(1, 2,);",
       }) {
    const SyntaxVerdict verdict = checker.check(text);
    EXPECT_EQ(verdict.kind, Kind::Invalid) << text;
    EXPECT_EQ(verdict.line, 1) << text;
  }
}

TEST(SyntaxCheck, SeesPastNulBytesAndFindsTheLineOfBytesThatAreNotUtf8) {
  SyntaxChecker checker;
  EXPECT_EQ(checker.check(std::string("var a = 1;\0 defineRule(", 23)).kind, Kind::Invalid);
  EXPECT_EQ(checker.check(std::string("var a = 'x\0y';", 14)).kind, Kind::Valid);

  const SyntaxVerdict latin1 = checker.check("var a = 1;\n\n// caf\xE9\nvar b = 2;\n");
  EXPECT_EQ(latin1.kind, Kind::Invalid);
  EXPECT_EQ(latin1.line, 3);
  EXPECT_EQ(firstInvalidUtf8Line("a\n\xC0\xAF"), 2);          // overlong
  EXPECT_EQ(firstInvalidUtf8Line("\n\n\xED\xA0\x80"), 3);     // a surrogate
  EXPECT_EQ(firstInvalidUtf8Line("ok\xE2\x82"), 1);           // cut short
  EXPECT_EQ(firstInvalidUtf8Line("\xF4\x8F\xBF\xBF ё"), 0);  // the last code point
}

TEST(SyntaxCheck, DoesNotCheckTextsAboveTheLimitAndSaysSo) {
  SyntaxChecker checker({1024, SyntaxChecker::kDefaultLimits.memoryBytes});
  const SyntaxVerdict verdict = checker.check(std::string(1025, ' ') + "{");
  EXPECT_EQ(verdict.kind, Kind::NotChecked);
  EXPECT_EQ(verdict.describe(),
            "not checked: the text has 1026 bytes, more than the 1 KiB that are checked");
  EXPECT_EQ(checker.check(std::string(1000, ' ') + "{").kind, Kind::Invalid);
}

TEST(SyntaxCheck, StaysWithinItsMemoryAndRecoversAfterRunningOut) {
  SyntaxChecker checker({SyntaxChecker::kDefaultLimits.maxTextBytes, 1024 * 1024});
  // Quantifiers that the engine expands: far more than 1 MiB.
  const SyntaxVerdict expanded = checker.check("var r = /(((a{1000}){1000}){1000})/;");
  EXPECT_EQ(expanded.kind, Kind::NotChecked);
  EXPECT_EQ(expanded.describe(), "not checked: the check needs more than its 1 MiB of memory");
  EXPECT_LE(checker.memory().peak(), 1024u * 1024u);

  EXPECT_EQ(checker.check(kRule).kind, Kind::Valid);
  EXPECT_EQ(checker.check("var a = {;").kind, Kind::Invalid);
}

TEST(SyntaxCheck, GivesBackWhatEachCheckTook) {
  SyntaxChecker checker;
  checker.check("");
  const std::size_t between = checker.memory().used();
  std::string large;
  for (int i = 0; large.size() < 300 * 1024; ++i) {
    large += "var v" + std::to_string(i) + " = { k" + std::to_string(i) + ": 'text" +
             std::to_string(i) + "' };\n";
  }
  checker.resetPeak();
  EXPECT_EQ(checker.check(large).kind, Kind::Valid);
  EXPECT_GT(checker.memory().peak(), between + large.size());
  EXPECT_LE(checker.memory().used(), between);
  EXPECT_EQ(checker.check(large + "}").kind, Kind::Invalid);
  EXPECT_LE(checker.memory().used(), between);
}

TEST(SyntaxCheck, EngineLimitsAreNotSyntaxErrors) {
  SyntaxChecker checker;
  const SyntaxVerdict deep = checker.check(std::string(100000, '[') + std::string(100000, ']'));
  EXPECT_EQ(deep.kind, Kind::NotChecked);
  EXPECT_EQ(deep.describe().rfind("not checked: RangeError: ", 0), 0u) << deep.describe();
  EXPECT_EQ(checker.check(std::string(100, '[') + std::string(100, ']')).kind, Kind::Valid);
}

TEST(SyntaxCheck, OneTextDoesNotChangeHowTheNextIsRead) {
  SyntaxChecker checker;
  EXPECT_EQ(checker.check("'use strict'; var a = 1;").kind, Kind::Valid);
  // Legal only outside strict code.
  EXPECT_EQ(checker.check("with (o) { a = 1; } var n = 017;").kind, Kind::Valid);
  EXPECT_EQ(checker.check("var a = {;").kind, Kind::Invalid);
  EXPECT_EQ(checker.check(kRule).kind, Kind::Valid);
}

TEST(MemoryCap, RefusesWhatWouldPassTheCapAndKeepsTheBlock) {
  MemoryCap memory(4096);
  void* block = memory.allocate(1000);
  ASSERT_NE(block, nullptr);
  std::memset(block, 'x', 1000);
  EXPECT_EQ(memory.reallocate(block, 5000), nullptr);
  EXPECT_TRUE(memory.refused());
  EXPECT_EQ(static_cast<char*>(block)[999], 'x');
  EXPECT_EQ(memory.allocate(SIZE_MAX), nullptr);
  EXPECT_EQ(memory.allocate(SIZE_MAX - 8), nullptr);

  memory.clearRefusal();
  block = memory.reallocate(block, 3000);
  ASSERT_NE(block, nullptr);
  EXPECT_FALSE(memory.refused());
  void* empty = memory.allocate(0);
  EXPECT_NE(empty, nullptr);
  EXPECT_NE(empty, block);
  memory.release(block);
  memory.release(empty);
  memory.release(nullptr);
  EXPECT_EQ(memory.used(), 0u);
  EXPECT_GT(memory.peak(), 3000u);
  EXPECT_LE(memory.peak(), 4096u);
}

}  // namespace
}  // namespace talvoro
