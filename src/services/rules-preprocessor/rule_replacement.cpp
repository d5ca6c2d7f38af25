#include "rule_replacement.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>

#include "rule_names.h"
#include "talvoro/files/file_write.h"

namespace talvoro {
namespace {

using Stage = RuleFileError::Stage;

RuleFileError failed(Stage stage, const std::string& operation, int error) {
  return RuleFileError::fromErrno(stage, operation, error);
}

}  // namespace

RuleReplacement::RuleReplacement(RuleDirectory& directory, std::vector<RuleChange> changes)
    : directory_(directory) {
  // Every name is made before the first step, so that no step allocates on
  // its way through the directory.
  rules_.reserve(changes.size());
  for (RuleChange& change : changes) {
    Rule& rule = rules_.emplace_back();
    rule.newPath = directory_.pathOf(change.newFileName);
    for (const InstalledVersion& version : change.installed) {
      std::string aside = asideFileName(version.fileName);
      rule.aside.push_back({aside, directory_.pathOf(version.fileName), directory_.pathOf(aside),
                            false});
    }
    if (const auto name = parseInstalledFileName(change.newFileName)) {
      for (std::string& left : directory_.leftAsideOf(name->rule)) {
        const bool own = std::any_of(rule.aside.begin(), rule.aside.end(),
                                     [&](const Aside& aside) { return aside.name == left; });
        if (!own) {
          rule.leftAside.push_back(std::move(left));
        }
      }
    }
    rule.change = std::move(change);
  }
}

// Only an exception that left run() finds a rule committed here.
RuleReplacement::~RuleReplacement() {
  for (auto it = rules_.rbegin(); it != rules_.rend(); ++it) {
    try {
      if (it->state == State::Committed) {
        takeBack(*it, RuleFileError(Stage::Create, it->newPath, "the replacement was interrupted"));
      }
      removeTemporary(*it);
    } catch (...) {
      // What is left, the next start sweeps.
    }
  }
}

template <typename Step>
bool RuleReplacement::attempt(Rule& rule, Stage stage, Step step) {
  try {
    step();
    return true;
  } catch (const RuleFileError& error) {
    rule.error = error;
  } catch (const std::bad_alloc&) {
    rule.error = RuleFileError(stage, rule.newPath, "not enough memory");
  } catch (const std::exception& error) {
    rule.error = RuleFileError(stage, rule.newPath, error.what());
  }
  return false;
}

void RuleReplacement::run(const Vet& vet, const Gate& gate) {
  for (Rule& rule : rules_) {
    if (!rule.clears()) {
      write(rule);
    }
  }
  if (vet) {
    vetWritten(vet);
  }
  makeDurable();
  if (!passGate(gate)) {
    return;
  }
  bool committed = false;
  for (Rule& rule : rules_) {
    if (rule.state == State::Synced || (rule.state == State::Planned && rule.clears())) {
      commit(rule);
    }
    committed = committed || rule.state == State::Committed;
  }
  if (!committed) {
    return;
  }
  if (const int error = directory_.syncDirectory(); error != 0) {
    // Renames that may not survive a power cut must not be acknowledged.
    const RuleFileError failure =
        failed(Stage::Create, fmt::format("синхронизация каталога {}", directory_.path()), error);
    for (auto it = rules_.rbegin(); it != rules_.rend(); ++it) {
      if (it->state == State::Committed) {
        takeBack(*it, failure);
      }
    }
    directory_.syncDirectory();
    return;
  }
  bool clearedVersions = false;
  for (Rule& rule : rules_) {
    if (rule.state == State::Committed) {
      clearedVersions = clearedVersions || (rule.clears() && !rule.aside.empty());
      finish(rule);
    }
  }
  // Else the aside copies of a cleared rule may outlive a power cut, and the
  // start-up sweep puts back a version that has no successor.
  if (clearedVersions) {
    if (const int error = directory_.syncDirectory(); error != 0) {
      for (Rule& rule : rules_) {
        if (rule.state == State::Done && rule.clears() && !rule.aside.empty()) {
          rule.state = State::NotDurable;
          rule.error =
              failed(Stage::Remove, fmt::format("синхронизация каталога {}", directory_.path()),
                     error);
        }
      }
    }
  }
}

// A new file being written under a name the rule engine ignores; removed
// again unless it is committed under its final name.
void RuleReplacement::write(Rule& rule) {
  const bool written = attempt(rule, Stage::Create, [&] {
    std::string pattern = directory_.path() + kPendingFilePrefix + "XXXXXX";
    files::FileDescriptor fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd.valid()) {
      throw failed(Stage::Create, fmt::format("создание {}", pattern), errno);
    }
    rule.temporaryPath = std::move(pattern);
    rule.file = std::move(fd);
    if (::fchmod(rule.file.get(), 0644) != 0 ||
        !files::writeAll(rule.file.get(), rule.change.text)) {
      throw failed(Stage::Create, fmt::format("запись {}", rule.temporaryPath), errno);
    }
  });
  if (written) {
    rule.state = State::Written;
  } else {
    giveUp(rule);
  }
}

// Before the sync, so that a refused text costs no device flush. A vetting
// that throws refuses with its message.
void RuleReplacement::vetWritten(const Vet& vet) {
  for (std::size_t i = 0; i < rules_.size(); ++i) {
    Rule& rule = rules_[i];
    if (rule.state != State::Written) {
      continue;
    }
    std::optional<std::string> refusal;
    try {
      refusal = vet(i, rule.temporaryPath);
    } catch (const std::exception& error) {
      refusal = error.what();
    }
    if (refusal) {
      rule.refusal = std::move(*refusal);
      removeTemporary(rule);
      rule.state = State::Refused;
    }
  }
}

// Each new file is made durable by a sync of its own, whose error is that
// file's alone. The writeback of all of them is started first, so that the
// first file's sync commits the others' blocks in the same journal
// transaction and each later sync finds little left to do. (One syncfs()
// instead costs a device flush more per batch, and its error names no file.)
void RuleReplacement::makeDurable() {
  const auto written = std::count_if(rules_.begin(), rules_.end(),
                                     [](const Rule& rule) { return rule.state == State::Written; });
  if (written > 1) {
    for (Rule& rule : rules_) {
      if (rule.state == State::Written) {
        ::sync_file_range(rule.file.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
      }
    }
  }
  for (Rule& rule : rules_) {
    if (rule.state != State::Written) {
      continue;
    }
    const bool synced = attempt(rule, Stage::Create, [&] {
      if (::fsync(rule.file.get()) != 0 || !rule.file.close()) {
        throw failed(Stage::Create, fmt::format("синхронизация {}", rule.temporaryPath), errno);
      }
    });
    if (synced) {
      rule.state = State::Synced;
    } else {
      giveUp(rule);
    }
  }
}

bool RuleReplacement::passGate(const Gate& gate) {
  if (!gate) {
    return true;
  }
  std::optional<std::string> refusal;
  try {
    refusal = gate();
  } catch (const std::exception& error) {
    refusal = error.what();
  }
  if (!refusal) {
    return true;
  }
  for (Rule& rule : rules_) {
    if (rule.state == State::Synced || rule.state == State::Planned) {
      rule.error = RuleFileError(Stage::Create, rule.newPath, *refusal);
      giveUp(rule);
    }
  }
  return false;
}

// The rule engine sees the installed versions go before the new one appears.
void RuleReplacement::commit(Rule& rule) {
  const bool committed = attempt(rule, Stage::Create, [&] {
    if (!rule.clears()) {
      // The new name must be free, or taken by one of the versions it
      // replaces: anything else there (a directory, a FIFO) is no rule of ours.
      const auto& installed = rule.change.installed;
      const bool replaced =
          std::any_of(installed.begin(), installed.end(), [&](const InstalledVersion& version) {
            return version.fileName == rule.change.newFileName;
          });
      struct stat status {};
      if (!replaced && ::lstat(rule.newPath.c_str(), &status) == 0) {
        throw RuleFileError(Stage::Create, fmt::format("создание {}", rule.newPath),
                            "the name is taken by an entry that is not a rule file");
      }
    }
    if (!rule.change.installed.empty() || rule.clears()) {
      removeLeftAside(rule);
    }
    for (Aside& aside : rule.aside) {
      const std::string operation =
          fmt::format("переименование {} -> {}", aside.installedPath, aside.asidePath);
      // An aside copy left there holds this very version (its name carries
      // the hash) and may go; anything else there is not ours.
      struct stat status {};
      if (::lstat(aside.asidePath.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        throw failed(Stage::Remove, operation, EEXIST);
      }
      if (::rename(aside.installedPath.c_str(), aside.asidePath.c_str()) != 0) {
        throw failed(Stage::Remove, operation, errno);
      }
      aside.moved = true;
    }
    if (!rule.clears() && ::rename(rule.temporaryPath.c_str(), rule.newPath.c_str()) != 0) {
      throw failed(Stage::Create,
                   fmt::format("переименование {} -> {}", rule.temporaryPath, rule.newPath),
                   errno);
    }
  });
  if (committed) {
    rule.temporaryPath.clear();
    rule.state = State::Committed;
    return;
  }
  putBackAside(rule, rule.rollbackError);
  removeTemporary(rule);
  rule.state = rule.rollbackError ? State::RollbackFailed : State::NotReplaced;
}

// Nothing of the rule was moved: only its temporary file goes.
void RuleReplacement::giveUp(Rule& rule) {
  removeTemporary(rule);
  rule.state = State::NotReplaced;
}

// Puts the moved versions back, the last moved first; the first failure is
// kept in `failure`, and what stays aside the next start puts back.
void RuleReplacement::putBackAside(Rule& rule, std::optional<RuleFileError>& failure) {
  for (auto it = rule.aside.rbegin(); it != rule.aside.rend(); ++it) {
    if (!it->moved) {
      continue;
    }
    if (::rename(it->asidePath.c_str(), it->installedPath.c_str()) == 0) {
      it->moved = false;
      directory_.forgetAside(it->name);
      continue;
    }
    const int error = errno;
    const std::string operation =
        fmt::format("переименование {} -> {}", it->asidePath, it->installedPath);
    directory_.reportFailure(operation, error);
    directory_.noteLeftAside(it->name);
    if (!failure) {
      failure = failed(Stage::Remove, operation, error);
    }
  }
}

// The new version goes first: only once it is gone do the installed versions
// return, so that a rule never has two. A new version that cannot be removed
// stays, and the installed versions stay aside.
void RuleReplacement::takeBack(Rule& rule, const RuleFileError& error) {
  rule.error = error;
  if (!rule.clears() && ::unlink(rule.newPath.c_str()) != 0) {
    const int failure = errno;
    const std::string operation = fmt::format("удаление {}", rule.newPath);
    directory_.reportFailure(operation, failure);
    rule.rollbackError = failed(Stage::Create, operation, failure);
    rule.newVersionLive = true;
    rule.state = State::RollbackFailed;
    for (const Aside& aside : rule.aside) {
      if (aside.moved) {
        directory_.noteLeftAside(aside.name);
      }
    }
    return;
  }
  putBackAside(rule, rule.rollbackError);
  rule.state = rule.rollbackError ? State::RollbackFailed : State::RolledBack;
}

// The aside copies go. One of a replaced rule that stays is removed by the
// next start (its rule has the new version); one of a cleared rule would be
// put back then, so it is put back now and the clear fails.
void RuleReplacement::finish(Rule& rule) {
  rule.state = State::Done;
  for (Aside& aside : rule.aside) {
    if (::unlink(aside.asidePath.c_str()) == 0) {
      aside.moved = false;
      directory_.forgetAside(aside.name);
      continue;
    }
    const int error = errno;
    const std::string operation = fmt::format("удаление {}", aside.asidePath);
    directory_.reportFailure(operation, error);
    if (!rule.clears()) {
      directory_.noteLeftAside(aside.name);
      continue;
    }
    rule.error = failed(Stage::Remove, operation, error);
    if (::rename(aside.asidePath.c_str(), aside.installedPath.c_str()) == 0) {
      aside.moved = false;
      if (rule.state != State::RollbackFailed) {
        rule.state = State::RolledBack;
      }
    } else {
      const int putBack = errno;
      const std::string back =
          fmt::format("переименование {} -> {}", aside.asidePath, aside.installedPath);
      directory_.reportFailure(back, putBack);
      directory_.noteLeftAside(aside.name);
      rule.rollbackError = failed(Stage::Remove, back, putBack);
      rule.state = State::RollbackFailed;
    }
  }
  if (rule.state == State::Done && !rule.clears() && rule.change.installed.empty()) {
    // The rule has its new version now; a copy that stays, the next start removes.
    try {
      removeLeftAside(rule);
    } catch (const RuleFileError&) {
    }
  }
}

// A copy that an earlier replacement of the rule had to leave aside is older
// than the version in place: it goes before that version is moved aside, so
// that an interrupted replacement never leaves the next start two copies to
// choose from, nor a cleared rule one to put back. Of a rule with no version in
// place it is the one that the next start would put back: it stays until the
// new version is durable (or goes with a clear). Throws RuleFileError when one
// cannot be removed; those not removed stay noted.
void RuleReplacement::removeLeftAside(Rule& rule) {
  for (auto it = rule.leftAside.begin(); it != rule.leftAside.end();) {
    const std::string path = directory_.pathOf(*it);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      const int error = errno;
      const std::string operation = fmt::format("удаление {}", path);
      directory_.reportFailure(operation, error);
      throw failed(Stage::Remove, operation, error);
    }
    directory_.forgetAside(*it);
    it = rule.leftAside.erase(it);
  }
}

void RuleReplacement::removeTemporary(Rule& rule) {
  rule.file = files::FileDescriptor();
  if (!rule.temporaryPath.empty()) {
    ::unlink(rule.temporaryPath.c_str());
    rule.temporaryPath.clear();
  }
}

void replaceRule(RuleDirectory& directory, RuleChange change) {
  std::vector<RuleChange> one;
  one.push_back(std::move(change));
  RuleReplacement replacement(directory, std::move(one));
  replacement.run();
  if (replacement.state(0) != RuleReplacement::State::Done) {
    throw *replacement.error(0);
  }
}

}  // namespace talvoro
