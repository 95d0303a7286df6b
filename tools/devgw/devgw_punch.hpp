// What the devices sent the stand-in for direct connections: their KIND_PUNCH_OFFER
// and KIND_PUNCH_RESULT payloads, kept per device name in arrival order (also after
// the device went offline) for the "offers" and "results" admin commands. The
// stand-in pairs nobody by itself: the tests send the status lines ("punch").
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar::devgw {

class PunchLog {
 public:
  // Keeps the payload of a KIND_PUNCH_OFFER or KIND_PUNCH_RESULT frame.
  void record(std::string_view device, std::uint8_t kind, std::string payload);

  // "ok" and each payload of that kind from the device in its quoted form, oldest
  // first, separated by blanks; the kind is "offers" or "results".
  std::string reply(std::string_view what, std::string_view device) const;

 private:
  struct Sent {
    std::vector<std::string> offers;
    std::vector<std::string> results;
  };
  std::map<std::string, Sent, std::less<>> by_device_;
};

}  // namespace quillmar::devgw
