// Device identity: the secret device token and readable random device names.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quillmar {

inline constexpr std::string_view NAME_ADJECTIVES[24] = {
    "brave",  "quiet", "swift",   "amber", "comet", "delta", "eager", "frost",
    "gentle", "hyper", "ivory",   "jolly", "keen",  "lunar", "misty", "noble",
    "onyx",   "prime", "quantum", "rapid", "solar", "tidal", "urban", "vivid"};
inline constexpr std::string_view NAME_NOUNS[24] = {
    "otter",  "falcon", "cedar",  "ridge",  "harbor", "meadow", "nimbus", "orbit",
    "pixel",  "quartz", "raven",  "summit", "tundra", "vessel", "willow", "xenon",
    "yarrow", "zephyr", "beacon", "cobalt", "drift",  "ember",  "flint",  "grove"};

// Fills the buffer from the operating system's random source; false when it fails.
using RandomSource = std::function<bool(std::span<std::uint8_t>)>;
bool os_random_bytes(std::span<std::uint8_t> out);

// 32 lower-case hex characters from 16 random bytes. Aborts the program with the fatal
// message when the random source fails: a credential is never made from a weaker source.
std::string generate_token(const RandomSource& source = os_random_bytes);

// adjective-noun-number; seeds from the clock and process id when the source fails.
std::string random_name(const RandomSource& source = os_random_bytes);
// The name a 64-bit seed stands for; the same seed always gives the same name.
std::string random_name_from_seed(std::uint64_t seed);
// The seed used without a random source: nanoseconds since 1970 XOR (pid << 32), so two
// processes started in the same nanosecond still differ.
std::uint64_t clock_seed(std::uint64_t unix_nanos, std::uint32_t pid);

}  // namespace quillmar
