#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillmar {

// 32 lower-case hex digits: a 128-bit FNV-style hash of the token, then four
// xor-shift-multiply rounds.
std::string derive_device_id(std::string_view token);

// Whole seconds since 1970; 0 when the clock reads earlier.
std::uint64_t unix_now_secs();

}  // namespace quillmar
