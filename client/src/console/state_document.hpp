// The state document of GET /api/state and the JSON string writer of every console reply.
//
// There is no JSON library: the document is built from fixed pieces, decimal numbers,
// true/false and json_string outputs, compact (no blanks between tokens).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "settings/shared_state.hpp"

namespace quillmar {

// A JSON string literal of the text with '"', '\', the C0 and C1 controls and U+007F
// removed (nothing is escaped, so no value can end the string early). With TUNNEL_DEBUG
// set, a removal is reported on standard error.
std::string json_string(std::string_view text);

// The direct-connection lists, each without its brackets: the allow-list names, the
// request items {"who":W,"ago":A}, and the visit target (a JSON string).
struct PunchListsJson {
  std::string allow;
  std::string requests;
  std::string visit;
};

// now_secs: the current Unix time; none when the clock reads a time before 1970 (every
// "ago" is then 0). The overloads without it read the system clock.
PunchListsJson punch_lists_json(const SharedState& shared, std::optional<std::uint64_t> now_secs);
PunchListsJson punch_lists_json(const SharedState& shared);

// The 25-key document. Fields are copied one lock at a time, so it is no atomic snapshot.
std::string render_state_json(const SharedState& shared, std::string_view domain,
                              std::string_view gateway, std::optional<std::uint64_t> now_secs);
std::string render_state_json(const SharedState& shared, std::string_view domain,
                              std::string_view gateway);

// "https://{site}/?device_id={id}#plans", the service's plans page for this device.
std::string upgrade_url(std::string_view device_id);

}  // namespace quillmar
