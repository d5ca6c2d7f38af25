#include "scratch_file_system.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <vector>

namespace speed {
namespace fs = std::filesystem;
namespace {

constexpr std::uintmax_t kImageBytes = 1ull << 30;

std::string joined(const std::vector<std::string>& argv) {
  std::string text;
  for (const auto& arg : argv) {
    text += (text.empty() ? "" : " ") + arg;
  }
  return text;
}

void enterPrivateMountNamespace() {
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    throw std::runtime_error(
        fmt::format("cannot enter a private mount namespace: {}", std::strerror(errno)));
  }
}

// Runs a program (searched in PATH) and waits for it; throws when it cannot
// be started or does not exit with status 0.
void runCommand(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    throw std::runtime_error(fmt::format("{}: fork: {}", joined(argv), std::strerror(errno)));
  }
  if (pid == 0) {
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(fmt::format("{}: failed (wait status {})", joined(argv), status));
  }
}

}  // namespace

ScratchFileSystem::ScratchFileSystem() {
  std::string pattern = "/tmp/rp-speed-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error(fmt::format("mkdtemp {}: {}", pattern, std::strerror(errno)));
  }
  base_ = pattern;
  root_ = base_;
  description_ = fmt::format("temporary directory {} (not root: no private ext4 image)", root_.string());
  if (::geteuid() != 0) {
    return;
  }
  try {
    mountFreshImage();
  } catch (...) {
    release();
    throw;
  }
}

void ScratchFileSystem::mountFreshImage() {
  enterPrivateMountNamespace();
  const fs::path image = base_ / "ext4.img";
  const fs::path mountPoint = base_ / "mnt";
  fs::create_directory(mountPoint);
  { std::ofstream create(image); }
  fs::resize_file(image, kImageBytes);
  // Inode tables and journal are written now, not by a kernel thread that
  // would compete with the measurements.
  runCommand({"mkfs.ext4", "-q", "-F", "-E", "lazy_itable_init=0,lazy_journal_init=0",
              image.string()});
  runCommand({"mount", "-o", "loop", image.string(), mountPoint.string()});
  mounted_ = true;
  // The loop device keeps the file open; its blocks go with the last unmount.
  fs::remove(image);
  root_ = mountPoint;
  description_ = fmt::format("fresh ext4 image, 1 GiB, loop-mounted at {}", root_.string());
}

ScratchFileSystem::~ScratchFileSystem() { release(); }

void ScratchFileSystem::release() noexcept {
  if (mounted_ && ::umount2(root_.c_str(), 0) != 0) {
    std::cerr << "cannot unmount " << root_.string() << ": " << std::strerror(errno)
              << " (the mount ends with this process's mount namespace)\n";
    ::umount2(root_.c_str(), MNT_DETACH);
  }
  mounted_ = false;
  std::error_code ignored;
  fs::remove_all(base_, ignored);
}

}  // namespace speed
