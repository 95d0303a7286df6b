// The direct-connection status line with its candidates, and the allow list: a status
// that parses keeps its fields whole, candidates written back in the candidate form
// read back the same, allowed names are valid and distinct, and the quoted lists of the
// progress lines stay valid UTF-8.
#include <set>

#include "direct/records.hpp"
#include "fuzz_target.hpp"
#include "proto/text.hpp"
#include "settings/validators.hpp"

namespace quillmar::fuzz {
namespace {

std::string candidate_text(const std::vector<Candidate>& candidates) {
  std::string text;
  for (const auto& c : candidates) {
    if (!text.empty()) text += ',';
    // The reader takes one leading '!' off any address, so one in front keeps it as is.
    text += "!" + c.addr + "|" + std::to_string(c.port) + "|" + c.kind;
  }
  return text;
}

void check_candidates(const std::vector<Candidate>& candidates) {
  for (const auto& c : candidates) {
    require(!c.addr.empty(), "a candidate without an address");
    require(c.addr.find_first_of(",|") == std::string::npos &&
                c.kind.find_first_of(",|") == std::string::npos,
            "a separator inside a candidate");
  }
  require(parse_candidates(candidate_text(candidates)) == candidates,
          "candidates do not read back from their text");
  require(is_valid_utf8(quoted_candidates(candidates)), "quoted candidates are not UTF-8");
}

void check_allow_list(std::string_view text) {
  std::vector<std::string> refused;
  AllowList names = parse_allow_list({std::string(text)}, refused);
  require(names.size() <= MAX_ALLOW_LIST, "more names than the allow list holds");
  std::set<std::string> seen;
  for (const auto& name : names) {
    require(check_device_name(name) == name, "an allowed name that is no device name");
    require(seen.insert(name).second, "an allowed name twice");
  }
  for (const auto& item : refused) {
    require(!item.empty() && trim(item) == item, "a refused item empty or untrimmed");
    require(!check_device_name(item), "a valid name was refused: " + quoted_form(item));
  }
  require(is_valid_utf8(quoted_list(names)) && is_valid_utf8(quoted_list(refused)),
          "quoted names are not UTF-8");
}

void direct_records(Input input) {
  if (auto status = parse_punch_status(input)) {
    require(status->status.find_first_of("|\n") == std::string::npos &&
                status->peer.find_first_of("|\n") == std::string::npos,
            "a status field runs over its separator");
    check_candidates(status->candidates);
  }
  const std::string text = decode_utf8_lossy(as_text(input));
  check_candidates(parse_candidates(text));
  check_allow_list(text);
}

}  // namespace
}  // namespace quillmar::fuzz

QUILLMAR_FUZZ_TARGET(direct_records, quillmar::fuzz::direct_records)
