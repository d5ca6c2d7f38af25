#pragma once
// A test's own crash-simulation file system, mounted for the test's duration; the test is
// skipped (or fails under CI) where FUSE cannot be mounted.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "crash_fs.h"
#include "testsupport/mosquitto_broker.h"
#include "testsupport/temp_dir.h"
#include "testsupport/text_and_namespaces.h"

namespace powercut {

class FaultyStorage : public ::testing::Test {
 protected:
  void SetUp() override {
    const int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse >= 0) {
      ::close(fuse);
    }
    if (fuse < 0 || !testsupport::inPrivateMountNamespace()) {
      if (testsupport::runningInCi()) {
        GTEST_FAIL() << "needs /dev/fuse and a private mount namespace";
      }
      GTEST_SKIP() << "needs /dev/fuse and a private mount namespace";
    }
    std::filesystem::create_directory(scratch_.path() / "mnt");
    std::filesystem::create_directory(scratch_.path() / "disk");
    mount(mountPoint());
  }

  void mount(const std::filesystem::path& where) {
    mountPoint_ = where;
    try {
      fs_ = std::make_unique<CrashSimulationFs>(where.string(),
                                                (scratch_.path() / "disk").string(), 1);
    } catch (const MountRefused& error) {
      GTEST_SKIP() << error.what();
    }
  }

  std::filesystem::path mountPoint() const {
    return mountPoint_.empty() ? scratch_.path() / "mnt" : mountPoint_;
  }
  std::string dir() const { return mountPoint().string() + "/"; }
  CrashSimulationFs& fs() { return *fs_; }

  testsupport::TempDir scratch_;

 private:
  std::filesystem::path mountPoint_;
  std::unique_ptr<CrashSimulationFs> fs_;
};

}  // namespace powercut
