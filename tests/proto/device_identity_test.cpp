#include "proto/device_identity.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace quillmar {
namespace {

// A source that hands out the given bytes, then fails when they run out.
RandomSource scripted_source(std::vector<std::uint8_t> bytes) {
  return [bytes = std::move(bytes), used = std::size_t{0}](std::span<std::uint8_t> out) mutable {
    if (bytes.size() - used < out.size()) return false;
    std::memcpy(out.data(), bytes.data() + used, out.size());
    used += out.size();
    return true;
  };
}

bool failing_source(std::span<std::uint8_t>) { return false; }

// adjective-noun-number with words from the two lists and 0..4095 without leading zeros.
::testing::AssertionResult is_random_name(const std::string& name) {
  auto first = name.find('-');
  auto second = name.find('-', first == std::string::npos ? 0 : first + 1);
  if (first == std::string::npos || second == std::string::npos) {
    return ::testing::AssertionFailure() << name << " lacks two hyphens";
  }
  std::string_view adjective(name.data(), first);
  std::string_view noun(name.data() + first + 1, second - first - 1);
  std::string number = name.substr(second + 1);
  if (std::find(std::begin(NAME_ADJECTIVES), std::end(NAME_ADJECTIVES), adjective) ==
      std::end(NAME_ADJECTIVES)) {
    return ::testing::AssertionFailure() << name << ": unknown adjective";
  }
  if (std::find(std::begin(NAME_NOUNS), std::end(NAME_NOUNS), noun) == std::end(NAME_NOUNS)) {
    return ::testing::AssertionFailure() << name << ": unknown noun";
  }
  if (number.empty() || number.size() > 4 ||
      number.find_first_not_of("0123456789") != std::string::npos ||
      (number.size() > 1 && number[0] == '0') || std::stoi(number) > 4095) {
    return ::testing::AssertionFailure() << name << ": bad number";
  }
  if (name.size() > 19) return ::testing::AssertionFailure() << name << ": too long";
  return ::testing::AssertionSuccess();
}

TEST(RandomNameFromSeed, WorkedSeedsGiveTheirNames) {
  struct Case {
    std::uint64_t seed;
    const char* expected;
  } cases[] = {
      {0, "brave-otter-0"},     {1, "amber-xenon-3356"},     {2, "rapid-summit-1153"},
      {3, "comet-meadow-1364"}, {1000, "vivid-zephyr-3124"}, {4294967296ULL, "delta-summit-1236"},
  };
  for (const auto& c : cases) EXPECT_EQ(random_name_from_seed(c.seed), c.expected) << c.seed;
}

TEST(RandomNameFromSeed, EveryNameIsWellFormedAndTheRangesAreCovered) {
  std::set<std::string> adjectives, nouns;
  std::uint64_t seed = 0x9E3779B97F4A7C15ULL;
  for (int i = 0; i < 20000; ++i) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    std::string name = random_name_from_seed(seed);
    ASSERT_TRUE(is_random_name(name));
    auto first = name.find('-');
    auto second = name.find('-', first + 1);
    adjectives.insert(name.substr(0, first));
    nouns.insert(name.substr(first + 1, second - first - 1));
  }
  EXPECT_EQ(adjectives.size(), 24u);
  EXPECT_EQ(nouns.size(), 24u);
  EXPECT_TRUE(is_random_name(random_name_from_seed(UINT64_MAX)));
}

TEST(RandomName, ReadsTheSeedLittleEndianFromTheSource) {
  // 1000 = 0x03E8 and 2^32, little-endian, must land on their worked names.
  EXPECT_EQ(random_name(scripted_source({0xE8, 0x03, 0, 0, 0, 0, 0, 0})), "vivid-zephyr-3124");
  EXPECT_EQ(random_name(scripted_source({0, 0, 0, 0, 1, 0, 0, 0})), "delta-summit-1236");
}

TEST(RandomName, FallsBackToClockAndProcessIdWhenTheSourceFails) {
  // The clock moves between calls, so the fallback is not one fixed name. Some clocks
  // tick only every few milliseconds, hence the short pauses.
  std::set<std::string> names;
  for (int i = 0; i < 200 && names.size() < 2; ++i) {
    std::string name = random_name(failing_source);
    ASSERT_TRUE(is_random_name(name));
    names.insert(name);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(names.size(), 2u);
  EXPECT_TRUE(is_random_name(random_name()));
}

TEST(ClockSeed, SameInstantDifferentProcessesGiveDifferentSeeds) {
  constexpr std::uint64_t t = 1'700'000'000'123'456'789ULL;
  EXPECT_NE(clock_seed(t, 100), clock_seed(t, 101));
  EXPECT_NE(clock_seed(t, 1), clock_seed(t, 0x80000000u));
  EXPECT_EQ(clock_seed(t, 0), t);
  EXPECT_EQ(clock_seed(0, 7), 7ULL << 32);
  EXPECT_EQ(clock_seed(0xFFFFFFFF00000000ULL, 0xFFFFFFFFu), 0u);
}

TEST(GenerateToken, WritesEachByteAsTwoLowerCaseHexDigits) {
  std::vector<std::uint8_t> bytes = {0x0a, 0x00, 0xff, 0x10, 0x01, 0xab, 0xcd, 0xef,
                                     0x7f, 0x80, 0x09, 0x90, 0x5a, 0xa5, 0x3c, 0xc3};
  EXPECT_EQ(generate_token(scripted_source(bytes)), "0a00ff1001abcdef7f8009905aa53cc3");
  EXPECT_EQ(generate_token(scripted_source(std::vector<std::uint8_t>(16, 10))),
            "0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a");
}

TEST(GenerateToken, SystemTokensAreThirtyTwoHexCharactersAndDiffer) {
  std::string first = generate_token();
  std::string second = generate_token();
  for (const std::string& token : {first, second}) {
    ASSERT_EQ(token.size(), 32u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
  }
  EXPECT_NE(first, second);
}

TEST(OsRandomBytes, FillsLargeBuffers) {
  // Larger than one getrandom call is guaranteed to return, so the loop is exercised.
  std::vector<std::uint8_t> buffer(1 << 20, 0);
  ASSERT_TRUE(os_random_bytes(buffer));
  auto zeros = std::count(buffer.begin(), buffer.end(), 0);
  EXPECT_LT(zeros, 8000);  // about 4096 expected for random bytes
  std::uint8_t none[1];
  EXPECT_TRUE(os_random_bytes(std::span<std::uint8_t>(none, 0)));
}

// Runs natively and under Wine alike: gtest re-executes the test program for the dying
// statement on both, and the child's standard error is compared.
TEST(GenerateTokenDeathTest, RefusesToRunWithoutARandomSource) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(generate_token(failing_source),
               ::testing::HasSubstr("系统随机数不可用，拒绝生成可预测的设备凭据\n"));
}

}  // namespace
}  // namespace quillmar
