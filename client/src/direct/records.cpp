#include "direct/records.hpp"

#include <algorithm>

#include "proto/text.hpp"
#include "settings/validators.hpp"

namespace quillmar {

std::optional<PunchStatus> parse_punch_status(std::span<const std::uint8_t> payload) {
  std::string text = decode_utf8_lossy(payload);
  std::string_view all = text;
  std::size_t line_end = all.find('\n');
  std::string_view head = all.substr(0, line_end);
  std::string rest =
      line_end == std::string_view::npos ? std::string() : std::string(all.substr(line_end + 1));

  // At most five fields: the port field keeps any further '|' and then reads as 0.
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (fields.size() < 4) {
    std::size_t bar = head.find('|', start);
    if (bar == std::string_view::npos) break;
    fields.push_back(head.substr(start, bar - start));
    start = bar + 1;
  }
  fields.push_back(head.substr(start));
  if (fields.size() < 4 || fields[0] != "punch") return std::nullopt;

  PunchStatus status;
  status.status = std::string(fields[1]);
  status.peer = std::string(fields[2]);
  if (fields.size() == 5) status.port = parse_u16(fields[4]).value_or(0);
  std::replace(rest.begin(), rest.end(), '\n', ',');
  status.candidates = parse_candidates(rest);
  return status;
}

std::vector<Candidate> parse_candidates(std::string_view text) {
  std::vector<Candidate> out;
  for (std::string_view item : split(text, ',')) {
    if (item.empty()) continue;
    auto parts = split(item, '|');
    if (parts.size() < 2) continue;
    std::string_view addr = parts[0];
    if (!addr.empty() && addr.front() == '!') addr.remove_prefix(1);
    auto port = parse_u16(parts[1]);
    if (!port || addr.empty()) continue;
    out.push_back(Candidate{std::string(addr), *port,
                            parts.size() >= 3 ? std::string(parts[2]) : std::string("lan")});
  }
  return out;
}

AllowList parse_allow_list(const std::vector<std::string>& inputs,
                           std::vector<std::string>& refused) {
  AllowList names;
  for (const std::string& input : inputs) {
    std::size_t start = 0;
    while (start <= input.size()) {
      std::size_t end = input.find_first_of(";,", start);
      if (end == std::string::npos) end = input.size();
      std::string_view item = trim(std::string_view(input).substr(start, end - start));
      start = end + 1;
      if (item.empty()) continue;
      auto name = check_device_name(item);
      if (!name) {
        refused.emplace_back(item);
        continue;
      }
      if (std::find(names.begin(), names.end(), *name) != names.end()) continue;
      names.push_back(std::move(*name));
      // A full list ends the reading: later items are neither kept nor reported.
      if (names.size() == MAX_ALLOW_LIST) return names;
    }
  }
  return names;
}

void forget_requests_from(std::vector<PunchRequest>& requests, std::string_view name) {
  std::erase_if(requests, [&](const PunchRequest& r) { return r.who == name; });
}

void keep_recent_requests(std::vector<PunchRequest>& requests) {
  if (requests.size() > MAX_PUNCH_REQUESTS) requests.resize(MAX_PUNCH_REQUESTS);
}

std::string join_names(const AllowList& names, std::string_view separator) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += separator;
    text += names[i];
  }
  return text;
}

std::string quoted_list(const std::vector<std::string>& texts) {
  std::string out = "[";
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) out += ", ";
    out += quoted_form(texts[i]);
  }
  out += "]";
  return out;
}

std::string quoted_candidates(const std::vector<Candidate>& candidates) {
  std::string out = "[";
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const Candidate& c = candidates[i];
    if (i > 0) out += ", ";
    out += "(" + quoted_form(c.addr) + ", " + std::to_string(c.port) + ", " + quoted_form(c.kind) +
           ")";
  }
  out += "]";
  return out;
}

}  // namespace quillmar
