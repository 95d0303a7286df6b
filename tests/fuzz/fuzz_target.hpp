// One fuzz target per parser of outside input. Each *_fuzz.cpp defines a function over
// the input bytes that checks what the parser promises, and names it with
// QUILLMAR_FUZZ_TARGET. The fuzz build (clang, libFuzzer) makes it the program's
// LLVMFuzzerTestOneInput; every other build registers it, so that the corpus replay test
// runs the kept inputs (crashes found once among them) through it in the ordinary stages.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#ifdef QUILLMAR_LIBFUZZER
#include <sanitizer/common_interface_defs.h>
#endif

namespace quillmar::fuzz {

using Input = std::span<const std::uint8_t>;
using TargetFunction = void (*)(Input);

// A broken promise: under libFuzzer the message (through the sanitizers' report, which
// stays open while the target's own output is silenced) and an abort, which libFuzzer
// records as a crash together with the input; in the replay test an exception.
[[noreturn]] inline void fail(std::string_view what) {
#ifdef QUILLMAR_LIBFUZZER
  __sanitizer_report_error_summary(("fuzz check failed: " + std::string(what)).c_str());
  std::abort();
#else
  throw std::runtime_error("fuzz check failed: " + std::string(what));
#endif
}

inline void require(bool condition, std::string_view what) {
  if (!condition) fail(what);
}

// Reads the input front to back: a few bytes steer the target (piece sizes, choices),
// the rest is the text under test.
class InputReader {
 public:
  explicit InputReader(Input input) : input_(input) {}
  std::uint8_t byte() {
    if (input_.empty()) return 0;
    std::uint8_t b = input_.front();
    input_ = input_.subspan(1);
    return b;
  }
  std::string_view rest_text() const {
    return {reinterpret_cast<const char*>(input_.data()), input_.size()};
  }
  Input rest() const { return input_; }

 private:
  Input input_;
};

inline std::string_view as_text(Input input) {
  return {reinterpret_cast<const char*>(input.data()), input.size()};
}

#ifndef QUILLMAR_LIBFUZZER
inline std::map<std::string, TargetFunction>& registered_targets() {
  static std::map<std::string, TargetFunction> targets;
  return targets;
}
struct Registration {
  Registration(const char* name, TargetFunction function) { registered_targets()[name] = function; }
};
#endif

}  // namespace quillmar::fuzz

#ifdef QUILLMAR_LIBFUZZER
#define QUILLMAR_FUZZ_TARGET(name, function)                                          \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
    function(::quillmar::fuzz::Input(data, size));                                    \
    return 0;                                                                         \
  }
#else
#define QUILLMAR_FUZZ_TARGET(name, function) \
  static const ::quillmar::fuzz::Registration name##_registration(#name, function);
#endif
