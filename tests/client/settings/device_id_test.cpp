#include "settings/device_id.hpp"

#include <gtest/gtest.h>

namespace quillmar {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;

// Expected values computed independently with arbitrary-precision integers.
TEST(DeriveDeviceId, MatchesIndependentlyComputedValues) {
  struct Case {
    const char* token;
    const char* id;
  };
  const Case cases[] = {
      {"abc", "29ad3693a5db187313829d3f649cf00b"},
      {"", "13cffd5268e637ba79d7294b92957fdd"},
      {"a", "9fcc3d8dce394b6a947497456b1ff2b9"},
      {"0123456789abcdef0123456789abcdef", "d570d53cdb8c56475bec861cca28c91c"},
      {"ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
       "37251af84425d4c2d1f15a3cb65381d4"},
      // Leading zeros are written out.
      {"00000000000000c8", "00048e359ab9c5836dc8d4e2909097c1"},
  };
  for (const auto& c : cases) EXPECT_EQ(derive_device_id(c.token), c.id) << c.token;
}

TEST(UnixSecsAt, CountsWholeSecondsAndNeverGoesBelowZero) {
  struct Case {
    const char* name;
    Clock::duration since_epoch;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {"the epoch", Clock::duration::zero(), 0},
      {"rounded down", std::chrono::duration_cast<Clock::duration>(1999ms), 1},
      {"a date in 2026", std::chrono::duration_cast<Clock::duration>(1790000000s), 1790000000},
      {"half a second before", -std::chrono::duration_cast<Clock::duration>(500ms), 0},
      {"a clock set to 1960", -std::chrono::duration_cast<Clock::duration>(315619200s), 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(unix_secs_at(Clock::time_point(c.since_epoch)), c.expected) << c.name;
  }
}

TEST(UnixNowSecs, FollowsTheSystemClock) {
  auto before = unix_secs_at(Clock::now());
  auto now = unix_now_secs();
  auto after = unix_secs_at(Clock::now());
  EXPECT_LE(before, now);
  EXPECT_LE(now, after);
  EXPECT_GT(now, 1700000000u);  // 2023: a clock that reads 0 here would be a fault
}

}  // namespace
}  // namespace quillmar
