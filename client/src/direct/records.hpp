// Direct-connection records: candidates, the status line, allow lists and the list of
// recent requests.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

inline constexpr std::size_t MAX_ALLOW_LIST = 32;
inline constexpr std::size_t MAX_PUNCH_REQUESTS = 16;

struct Candidate {
  std::string addr;
  std::uint16_t port = 0;
  std::string kind;
  bool operator==(const Candidate&) const = default;
};

struct PunchStatus {
  std::string status;
  std::string peer;
  std::uint16_t port = 0;
  std::vector<Candidate> candidates;
};

struct PunchRequest {
  std::string who;
  std::uint64_t at = 0;
  bool operator==(const PunchRequest&) const = default;
};

using AllowList = std::vector<std::string>;

std::optional<PunchStatus> parse_punch_status(std::span<const std::uint8_t> payload);
std::vector<Candidate> parse_candidates(std::string_view text);
AllowList parse_allow_list(const std::vector<std::string>& inputs,
                           std::vector<std::string>& refused);
void forget_requests_from(std::vector<PunchRequest>& requests, std::string_view name);
void keep_recent_requests(std::vector<PunchRequest>& requests);

// The names with the separator between them: "," on the wire and in the key file,
// "、" in the notes for the user.
std::string join_names(const AllowList& names, std::string_view separator);

// ["a", "b"] and [("addr", port, "kind"), …] for progress lines.
std::string quoted_list(const std::vector<std::string>& texts);
std::string quoted_candidates(const std::vector<Candidate>& candidates);

}  // namespace quillmar
