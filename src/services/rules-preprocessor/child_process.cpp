#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "talvoro/files/file_descriptor.h"
#include "talvoro/files/file_error.h"

namespace talvoro {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How soon an end is noticed while something the program started still
// holds its output open; and the longest pause between two looks once the
// output is closed.
constexpr milliseconds kEndPoll{50};
constexpr milliseconds kFirstPause{1};

struct Pipe {
  files::FileDescriptor read;
  files::FileDescriptor write;
};

Pipe makePipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    throw ChildProcessError("cannot make a pipe: " + files::systemErrorText(errno));
  }
  Pipe pipe{files::FileDescriptor(ends[0]), files::FileDescriptor(ends[1])};
  // Only this end: the program gets an ordinary, blocking one.
  fcntl(pipe.read.get(), F_SETFL, O_NONBLOCK);
  return pipe;
}

// posix_spawn's attributes and file actions, owned.
class SpawnSetup {
 public:
  SpawnSetup(int outputFd, int errorsFd) {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
    expect(posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0));
    expect(posix_spawn_file_actions_adddup2(&actions_, outputFd, 1));
    expect(posix_spawn_file_actions_adddup2(&actions_, errorsFd, 2));
    // Neither the broker's socket nor the rule directory's lock goes along.
    expect(posix_spawn_file_actions_addclosefrom_np(&actions_, 3));
    expect(posix_spawn_file_actions_addchdir_np(&actions_, "/"));
    // The service blocks its stop signals, and a library may ignore SIGPIPE:
    // the program starts with neither.
    sigset_t none;
    sigemptyset(&none);
    sigset_t every;
    sigfillset(&every);
    sigdelset(&every, SIGKILL);
    sigdelset(&every, SIGSTOP);
    expect(posix_spawnattr_setsigmask(&attributes_, &none));
    expect(posix_spawnattr_setsigdefault(&attributes_, &every));
    expect(posix_spawnattr_setpgroup(&attributes_, 0));
    expect(posix_spawnattr_setflags(
        &attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP));
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  pid_t spawn(const std::vector<std::string>& arguments,
              const std::vector<std::string>& environment) const {
    std::vector<char*> argv = pointersTo(arguments);
    std::vector<char*> envp = pointersTo(environment);
    pid_t pid = 0;
    if (const int error = posix_spawn(&pid, argv.front(), &actions_, &attributes_, argv.data(),
                                      envp.data());
        error != 0) {
      throw ChildProcessError(
          fmt::format("cannot start {}: {}", arguments.front(), files::systemErrorText(error)));
    }
    return pid;
  }

 private:
  static void expect(int error) {
    if (error != 0) {
      throw ChildProcessError("cannot prepare a process: " + files::systemErrorText(error));
    }
  }

  static std::vector<char*> pointersTo(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (const std::string& text : texts) {
      pointers.push_back(const_cast<char*>(text.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
  }

  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

// One output of the program: read as it comes, its first bytes kept.
class Capture {
 public:
  Capture(files::FileDescriptor fd, std::size_t limit) : fd_(std::move(fd)), limit_(limit) {}

  bool open() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  std::string take() { return std::move(kept_); }

  // Reads what is there without waiting; closes at the end of the output.
  void readAvailable() {
    char buffer[4096];
    while (fd_.valid()) {
      const ssize_t got = ::read(fd_.get(), buffer, sizeof buffer);
      if (got > 0) {
        const std::size_t room = limit_ - std::min(limit_, kept_.size());
        kept_.append(buffer, std::min(room, static_cast<std::size_t>(got)));
      } else if (got < 0 && errno == EINTR) {
        continue;
      } else if (got < 0 && errno == EAGAIN) {
        return;
      } else {
        fd_.close();
      }
    }
  }

 private:
  files::FileDescriptor fd_;
  std::size_t limit_;
  std::string kept_;
};

// Whether the program has ended; it is left a zombie, so that its process
// group stays its own until it is reaped.
bool hasEnded(pid_t pid) {
  siginfo_t info{};
  while (waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    if (errno != EINTR) {
      return true;
    }
  }
  return info.si_pid != 0;
}

int reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Reads both outputs until the program ends or the deadline passes; true
// when it ended.
bool awaitEnd(pid_t pid, Capture& output, Capture& errors, Clock::time_point deadline) {
  milliseconds pause = kFirstPause;
  for (;;) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      return false;
    }
    if (output.open() || errors.open()) {
      pollfd fds[2];
      nfds_t count = 0;
      for (const Capture* capture : {&output, &errors}) {
        if (capture->open()) {
          fds[count++] = {capture->fd(), POLLIN, 0};
        }
      }
      poll(fds, count, static_cast<int>(std::min(left, kEndPoll).count()));
      output.readAvailable();
      errors.readAvailable();
    } else {
      // Both outputs are closed: the program is ending, or runs on silently.
      std::this_thread::sleep_for(std::min(left, pause));
      pause = std::min(pause * 2, kEndPoll);
    }
    if (hasEnded(pid)) {
      return true;
    }
  }
}

}  // namespace

ChildProcessEnd runChildProcess(const ChildProcessRun& run) {
  if (run.arguments.empty()) {
    throw ChildProcessError("cannot start a program without a name");
  }
  Pipe output = makePipe();
  Pipe errors = makePipe();
  const pid_t pid =
      SpawnSetup(output.write.get(), errors.write.get()).spawn(run.arguments, run.environment);
  output.write.close();
  errors.write.close();
  Capture outputCapture(std::move(output.read), run.keptOutputBytes);
  Capture errorsCapture(std::move(errors.read), run.keptOutputBytes);

  const bool ended = awaitEnd(pid, outputCapture, errorsCapture, Clock::now() + run.timeout);
  // The group's id is the program's, which stays taken until it is reaped.
  kill(-pid, SIGKILL);
  outputCapture.readAvailable();
  errorsCapture.readAvailable();
  const int status = reap(pid);

  ChildProcessEnd end{ChildProcessEnd::Kind::TimedOut, 0, outputCapture.take(),
                      errorsCapture.take()};
  if (!ended) {
    return end;
  }
  if (WIFSIGNALED(status)) {
    end.kind = ChildProcessEnd::Kind::Signalled;
    end.code = WTERMSIG(status);
  } else {
    end.kind = ChildProcessEnd::Kind::Exited;
    end.code = WEXITSTATUS(status);
  }
  return end;
}

}  // namespace talvoro
