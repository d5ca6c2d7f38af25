#include "check_command.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include <fmt/format.h>

#include "child_process.h"
#include "talvoro/files/file_descriptor.h"
#include "talvoro/files/file_error.h"
#include "service_trace.h"

namespace talvoro {
namespace {

// Longest first line that a reason quotes.
constexpr std::size_t kMaxQuotedLine = 300;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Appends the text of the double-quoted part that opens at `open` to `word`;
// returns where the part closes.
std::size_t readDoubleQuoted(std::string_view line, std::size_t open, std::string& word) {
  for (std::size_t at = open + 1; at < line.size(); ++at) {
    if (line[at] == '"') {
      return at;
    }
    const char next = at + 1 < line.size() ? line[at + 1] : '\0';
    if (line[at] == '\\' && (next == '"' || next == '\\')) {
      ++at;
    }
    word += line[at];
  }
  throw CheckCommandError(fmt::format("the quote \" at {} is not closed", open + 1));
}

// The command line's words, quotes and backslashes taken away.
std::vector<std::string> splitWords(std::string_view line) {
  std::vector<std::string> words;
  std::optional<std::string> word;  // the word being read
  for (std::size_t at = 0; at < line.size(); ++at) {
    const char c = line[at];
    if (isBlank(c)) {
      if (word) {
        words.push_back(std::move(*word));
        word.reset();
      }
      continue;
    }
    if (!word) {
      word.emplace();
    }
    if (c == '\\') {
      if (++at == line.size()) {
        throw CheckCommandError("a backslash ends the command line");
      }
      *word += line[at];
    } else if (c == '\'') {
      const std::size_t close = line.find('\'', at + 1);
      if (close == std::string_view::npos) {
        throw CheckCommandError(fmt::format("the quote ' at {} is not closed", at + 1));
      }
      word->append(line.substr(at + 1, close - at - 1));
      at = close;
    } else if (c == '"') {
      at = readDoubleQuoted(line, at, *word);
    } else {
      *word += c;
    }
  }
  if (word) {
    words.push_back(std::move(*word));
  }
  return words;
}

// `word` with %s replaced by `path` and %% by %; counts the %s in `files`.
std::string substitute(const std::string& word, const std::string& path, int& files) {
  std::string result;
  for (std::size_t at = 0; at < word.size(); ++at) {
    if (word[at] != '%') {
      result += word[at];
      continue;
    }
    const char next = at + 1 < word.size() ? word[at + 1] : '\0';
    if (next == 's') {
      result += path;
      ++files;
    } else if (next == '%') {
      result += '%';
    } else {
      throw CheckCommandError(fmt::format(
          "{} in \"{}\": only %s (the file) and %% (a percent sign) are replaced",
          next == '\0' ? std::string("a lone %") : fmt::format("%{}", next), word));
    }
    ++at;
  }
  return result;
}

void expectExecutable(const std::string& program) {
  if (program.empty() || program.front() != '/') {
    throw CheckCommandError(
        fmt::format("the program {} is not an absolute path (no PATH is searched)", program));
  }
  struct stat info {};
  if (stat(program.c_str(), &info) != 0 || access(program.c_str(), X_OK) != 0) {
    throw CheckCommandError(
        fmt::format("the program {} cannot be run: {}", program, files::systemErrorText(errno)));
  }
  if (!S_ISREG(info.st_mode)) {
    throw CheckCommandError(fmt::format("the program {} is not a file", program));
  }
}

// The first line of `text` that is not blank, without its line end.
std::string firstLine(const std::string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    std::size_t last = end;
    while (last > start && isBlank(text[last - 1])) {
      --last;
    }
    std::size_t first = start;
    while (first < last && isBlank(text[first])) {
      ++first;
    }
    if (first < last) {
      return excerpt(std::string_view(text).substr(first, last - first), kMaxQuotedLine);
    }
    start = end + 1;
  }
  return "";
}

std::string durationText(std::chrono::milliseconds duration) {
  return duration.count() % 1000 == 0 ? fmt::format("{} s", duration.count() / 1000)
                                      : fmt::format("{} ms", duration.count());
}

std::string withQuote(std::string reason, const ChildProcessEnd& end) {
  std::string said = firstLine(end.errors);
  if (said.empty()) {
    said = firstLine(end.output);
  }
  return said.empty() ? reason : reason + ": " + said;
}

}  // namespace

CheckCommand::CheckCommand(std::string_view commandLine, std::chrono::milliseconds timeout)
    : words_(splitWords(commandLine)), timeout_(timeout) {
  if (words_.empty()) {
    throw CheckCommandError("the command line holds no command");
  }
  int files = 0;
  for (const std::string& word : words_) {
    substitute(word, "", files);
  }
  if (files == 0) {
    throw CheckCommandError("no %s in the command line: the command must be given the file");
  }
  if (words_.front().find('%') != std::string::npos) {
    throw CheckCommandError("the program's name cannot hold %");
  }
  expectExecutable(words_.front());
}

std::vector<std::string> CheckCommand::argumentsFor(const std::string& path) const {
  std::vector<std::string> arguments;
  int files = 0;
  for (const std::string& word : words_) {
    arguments.push_back(substitute(word, path, files));
  }
  return arguments;
}

CheckCommandVerdict CheckCommand::check(const std::string& path) const {
  ChildProcessEnd end;
  try {
    end = runChildProcess(
        {argumentsFor(path), checkCommandEnvironment(), timeout_, kKeptOutputBytes});
  } catch (const ChildProcessError& error) {
    return {false, fmt::format("check command: {}", error.what())};
  }
  switch (end.kind) {
    case ChildProcessEnd::Kind::Exited:
      if (end.code == 0) {
        return {true, ""};
      }
      return {false, withQuote(fmt::format("check command exited with status {}", end.code), end)};
    case ChildProcessEnd::Kind::Signalled:
      return {false, withQuote(fmt::format("check command ended by signal {} ({})", end.code,
                                           strsignal(end.code)),
                               end)};
    case ChildProcessEnd::Kind::TimedOut:
      break;
  }
  return {false, withQuote(fmt::format("check command did not finish within {} and was killed",
                                       durationText(timeout_)),
                           end)};
}

const std::vector<std::string>& checkCommandEnvironment() {
  static const std::vector<std::string> environment{
      "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "LANG=C.UTF-8"};
  return environment;
}

}  // namespace talvoro
