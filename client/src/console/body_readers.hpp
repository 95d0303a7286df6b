// Readers of the console's request bodies. There is no JSON parser: each reader scans
// the body text for a quoted key, a colon and the value behind it, so key order and
// nesting do not matter and the first occurrence of a string key wins. Every reader is
// a pure function that gives its value or the Chinese message the route replies with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "settings/key_file_writers.hpp"

namespace quillmar {

inline constexpr std::size_t MAX_INVITE_LEN = 256;  // UTF-8 bytes, after trimming
inline constexpr std::size_t MIN_WANTED_NAME_LEN = 2;
inline constexpr std::size_t MAX_WANTED_NAME_LEN = 40;
inline constexpr std::array<std::string_view, 10> RESERVED_NAMES = {
    "api", "pay", "www", "mail", "root", "admin", "status", "tunnel", "gateway", "support"};

// A reader's value or its message for the user.
template <class T>
class [[nodiscard]] BodyRead {
 public:
  BodyRead(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  static BodyRead refuse(std::string message) {
    return BodyRead(std::in_place_index<1>, std::move(message));
  }

  bool ok() const { return state_.index() == 0; }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const std::string& error() const { return std::get<1>(state_); }

 private:
  template <std::size_t I>
  BodyRead(std::in_place_index_t<I> index, std::string message)
      : state_(index, std::move(message)) {}
  std::variant<T, std::string> state_;
};

// The text between the two double quotes after "key" and a colon, untrimmed.
BodyRead<std::string> json_string_field(std::string_view body, std::string_view key);
// Every "port" number, first-appearance order, no repeats; empty only for {"ports":[]}.
BodyRead<std::vector<std::uint16_t>> collect_ports(std::string_view body);
// The target host of each listed port ("127.0.0.1" when its object names none).
BodyRead<PortHosts> parse_targets(std::string_view body, const std::vector<std::uint16_t>& ports);
// The access code, trimmed.
BodyRead<std::string> parse_invite_field(std::string_view body);
// The wanted device name ("sub", else "subdomain"), trimmed and lower-cased.
BodyRead<std::string> parse_subdomain_field(std::string_view body);
// The accepted device names of "allow"; refused names are appended to invalid.
std::vector<std::string> parse_allow_body(std::string_view body, std::vector<std::string>& invalid);
// None (absent or unusable), the empty text (clear the target) or an accepted name; a
// refused name is appended to invalid.
std::optional<std::string> parse_visit_field(std::string_view body,
                                             std::vector<std::string>& invalid);

}  // namespace quillmar
