#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillmar {

// 32 lower-case hex digits: a 128-bit FNV-style hash of the token, then four
// xor-shift-multiply rounds.
std::string derive_device_id(std::string_view token);

// Whole seconds since 1970 at that time, rounded down; 0 for any time before.
std::uint64_t unix_secs_at(std::chrono::system_clock::time_point time);
// The same for the system clock's current reading.
std::uint64_t unix_now_secs();

}  // namespace quillmar
