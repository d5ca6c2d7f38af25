// The status CRC is the standard CRC-32 that publishers compute with zlib.

#include <gtest/gtest.h>

#include <string>

#include "talvoro/rule_crc.h"

namespace talvoro::protocol {
namespace {

TEST(RuleCrc, IsTheStandardCrc32OfTheBytesAsReceived) {
  EXPECT_EQ(ruleCrc("abc"), 891568578u);
  EXPECT_EQ(ruleCrc("123456789"), 0xCBF43926u);
  EXPECT_EQ(ruleCrc(""), 0u);
  EXPECT_EQ(ruleCrc(std::string("\0", 1)), 0xD202EF8Du);
}

}  // namespace
}  // namespace talvoro::protocol
