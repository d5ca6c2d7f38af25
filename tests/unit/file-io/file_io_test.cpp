// The shared file unit on temporary directories: reads that neither block nor
// run past their bound, and excerpts that never split a character.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "talvoro/files/file_read.h"
#include "talvoro/files/utf8_cut.h"
#include "testsupport/temp_dir.h"

namespace talvoro::files {
namespace {

TEST(FileRead, ARegularFileIsReadWithinItsBoundAndNothingElseIsOpened) {
  testsupport::TempDir dir;
  const std::string path = (dir.path() / "f").string();
  std::ofstream(path) << "12345";
  EXPECT_EQ(readRegularFile(path, 5), "12345");
  try {
    readRegularFile(path, 4);
    ADD_FAILURE() << "a file over the bound was read";
  } catch (const FileError& error) {
    EXPECT_EQ(std::string(error.what()), path + ": larger than 4 bytes");
  }
  EXPECT_EQ(readRegularFile((dir.path() / "none").string(), 5), std::nullopt);
  ASSERT_EQ(::mkfifo((dir.path() / "fifo").c_str(), 0644), 0);
  EXPECT_THROW(openRegularFile((dir.path() / "fifo").string()), FileError);
  EXPECT_THROW(openRegularFile(dir.path().string()), FileError);
  // A device yields without end: the bound stops it.
  FileDescriptor zero(::open("/dev/zero", O_RDONLY | O_CLOEXEC));
  EXPECT_THROW(readToEnd(zero.get(), 1 << 20, "/dev/zero"), FileError);
  EXPECT_EQ(readUpTo(zero.get(), 3, "/dev/zero"), std::string(3, '\0'));
}

TEST(Utf8Cut, NeverSplitsACharacter) {
  const std::string text = "a\xC3\xA9\xE2\x82\xAC";  // a, é, €
  EXPECT_EQ(utf8CutLength(text, 10), 6u);
  EXPECT_EQ(utf8CutLength(text, 3), 3u);
  EXPECT_EQ(utf8CutLength(text, 2), 1u);
  EXPECT_EQ(utf8CutLength(text, 5), 3u);
  EXPECT_EQ(utf8CutLength("\x80\x80", 1), 0u);
}

}  // namespace
}  // namespace talvoro::files
