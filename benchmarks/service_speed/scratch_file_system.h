#pragma once

#include <filesystem>
#include <string>

namespace speed {

// The file system that the floor and the service write to. As root it is a
// fresh ext4 image (1 GiB, loop-mounted), so that the host disk's history and
// fill level do not count; otherwise a temporary directory. The process first
// moves into a mount namespace of its own: the mount vanishes with the process
// even when it is killed, and the image file is deleted as soon as it is
// mounted. Everything is removed on destruction. Throws std::runtime_error
// with the failing command when the image cannot be made.
class ScratchFileSystem {
 public:
  ScratchFileSystem();
  ~ScratchFileSystem();

  ScratchFileSystem(const ScratchFileSystem&) = delete;
  ScratchFileSystem& operator=(const ScratchFileSystem&) = delete;

  const std::filesystem::path& root() const { return root_; }
  // What the root is, for the benchmark's output.
  const std::string& description() const { return description_; }

 private:
  void mountFreshImage();
  void release() noexcept;

  std::filesystem::path base_;
  std::filesystem::path root_;
  std::string description_;
  bool mounted_ = false;
};

}  // namespace speed
