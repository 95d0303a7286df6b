#include "devgw/devgw_punch.hpp"

#include "proto/frame.hpp"
#include "proto/text.hpp"

namespace quillmar::devgw {

void PunchLog::record(std::string_view device, std::uint8_t kind, std::string payload) {
  auto entry = by_device_.find(device);
  if (entry == by_device_.end()) entry = by_device_.emplace(std::string(device), Sent{}).first;
  auto& list = kind == KIND_PUNCH_OFFER ? entry->second.offers : entry->second.results;
  list.push_back(std::move(payload));
}

std::string PunchLog::reply(std::string_view what, std::string_view device) const {
  std::string text = "ok";
  auto entry = by_device_.find(device);
  if (entry == by_device_.end()) return text;
  const auto& list = what == "offers" ? entry->second.offers : entry->second.results;
  for (const std::string& payload : list) text += " " + quoted_form(payload);
  return text;
}

}  // namespace quillmar::devgw
