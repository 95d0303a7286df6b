// Device tokens and random names. The operating system's random bytes come from
// BCryptGenRandom on Windows (hence windows.h) and getrandom elsewhere.
#include "proto/device_identity.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "proto/text.hpp"

#ifdef _WIN32
#include <windows.h>
// After windows.h, whose types it uses.
#include <bcrypt.h>
#else
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace quillmar {
namespace {

constexpr std::uint64_t M1 = 0xFF51AFD7ED558CCDULL;
constexpr std::uint64_t M2 = 0xC4CEB9FE1A85EC53ULL;

constexpr std::uint64_t rotl(std::uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

constexpr std::uint64_t mix(std::uint64_t x) { return rotl(x, 35) ^ ((x ^ (x >> 33)) * M2); }

std::uint32_t process_id() {
#ifdef _WIN32
  return static_cast<std::uint32_t>(GetCurrentProcessId());
#else
  return static_cast<std::uint32_t>(getpid());
#endif
}

std::uint64_t unix_now_nanos() {
  auto since = std::chrono::system_clock::now().time_since_epoch();
  auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
  return nanos < 0 ? 0 : static_cast<std::uint64_t>(nanos);
}

}  // namespace

bool os_random_bytes(std::span<std::uint8_t> out) {
#ifdef _WIN32
  while (!out.empty()) {
    auto chunk = static_cast<ULONG>(std::min<std::size_t>(out.size(), 1u << 20));
    if (!BCRYPT_SUCCESS(
            BCryptGenRandom(nullptr, out.data(), chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      return false;
    }
    out = out.subspan(chunk);
  }
  return true;
#else
  while (!out.empty()) {
    ssize_t got = getrandom(out.data(), out.size(), 0);
    if (got < 0 && errno == EINTR) continue;
    // A zero return never happens for a non-empty buffer; treating it as a failure keeps
    // a broken source from spinning here for ever.
    if (got <= 0) return false;
    out = out.subspan(static_cast<std::size_t>(got));
  }
  return true;
#endif
}

std::string generate_token(const RandomSource& source) {
  std::uint8_t bytes[16];
  if (!source(bytes)) {
    // A token made from the clock or a pseudo-random generator could be guessed, and it
    // would stay the device's credential for good: refuse to make one at all.
    static constexpr std::string_view FATAL = "系统随机数不可用，拒绝生成可预测的设备凭据\n";
    std::fwrite(FATAL.data(), 1, FATAL.size(), stderr);
    std::fflush(stderr);
    std::abort();
  }
  return hex_lower(bytes);
}

std::uint64_t clock_seed(std::uint64_t unix_nanos, std::uint32_t pid) {
  return unix_nanos ^ (static_cast<std::uint64_t>(pid) << 32);
}

std::string random_name(const RandomSource& source) {
  std::uint8_t bytes[8];
  std::uint64_t seed = 0;
  if (source(bytes)) {
    for (int i = 7; i >= 0; --i) seed = (seed << 8) | bytes[i];
  } else {
    // A name needs variety, not secrecy: the clock and the process id will do.
    seed = clock_seed(unix_now_nanos(), process_id());
  }
  return random_name_from_seed(seed);
}

std::string random_name_from_seed(std::uint64_t seed) {
  std::uint64_t a = mix(seed * M1);
  std::uint64_t b = mix(a * M1);
  std::string_view adjective = NAME_ADJECTIVES[(a >> 8) % 24];
  std::string_view noun = NAME_NOUNS[(b >> 8) % 24];
  std::uint64_t number = (b & 0xFFFFFFFFULL) >> 20;
  std::string name;
  name.reserve(adjective.size() + noun.size() + 6);
  name.append(adjective).append("-").append(noun).append("-").append(std::to_string(number));
  return name;
}

}  // namespace quillmar
