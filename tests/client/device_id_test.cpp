#include "device_id.hpp"

#include <gtest/gtest.h>

namespace quillmar {
namespace {

TEST(DeriveDeviceId, MatchesTheWorkedValue) {
  EXPECT_EQ(derive_device_id("abc"), "29ad3693a5db187313829d3f649cf00b");
}

TEST(DeriveDeviceId, IsThirtyTwoLowerHexDigitsAndDependsOnEveryByte) {
  std::string a = derive_device_id("0123456789abcdef0123456789abcdef");
  std::string b = derive_device_id("0123456789abcdef0123456789abcdee");
  EXPECT_EQ(a.size(), 32u);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(a, b);
  EXPECT_EQ(derive_device_id("").size(), 32u);
}

TEST(UnixNowSecs, IsAfterThisCodeWasWritten) { EXPECT_GT(unix_now_secs(), 1790000000u); }

}  // namespace
}  // namespace quillmar
