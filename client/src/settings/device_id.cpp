#include "settings/device_id.hpp"

#include <chrono>

namespace quillmar {

std::string derive_device_id(std::string_view token) {
  using u128 = unsigned __int128;
  constexpr u128 OFFSET = (u128{0xcbf29ce484222325ULL} << 64) | 0x86c469c40a221275ULL;
  constexpr u128 PRIME = 0x100000001b3ULL;
  constexpr u128 MIX = (u128{0x9e3779b97f4a7c15ULL} << 64) | 0x9e3779b97f4a7c15ULL;

  u128 x = OFFSET;
  for (unsigned char b : token) {
    x ^= b;
    x *= PRIME;
  }
  for (int round = 0; round < 4; ++round) {
    x ^= x >> 31;
    x *= MIX;
  }
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out(32, '0');
  for (int i = 31; i >= 0; --i) {
    out[static_cast<std::size_t>(i)] = HEX[static_cast<unsigned>(x & 0xF)];
    x >>= 4;
  }
  return out;
}

std::uint64_t unix_secs_at(std::chrono::system_clock::time_point time) {
  auto since_epoch = time.time_since_epoch();
  if (since_epoch < std::chrono::system_clock::duration::zero()) return 0;
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count());
}

std::uint64_t unix_now_secs() { return unix_secs_at(std::chrono::system_clock::now()); }

}  // namespace quillmar
