// Is the occupant of the console port another instance of this program? The console
// port on 127.0.0.1 doubles as the single-instance lock; a second start asks the
// occupant for its state document and looks for two of its keys.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillmar {

inline constexpr auto PROBE_CONNECT_TIMEOUT = std::chrono::milliseconds(800);
inline constexpr auto PROBE_READ_TIMEOUT = std::chrono::milliseconds(1500);
inline constexpr std::size_t PROBE_READ_LIMIT = 65536;

inline constexpr std::string_view DEVICE_ID_MARKER = "\"device_id\"";
inline constexpr std::string_view PORTS_MARKER = "\"ports\"";

struct ProbeTimeouts {
  std::chrono::milliseconds connect = PROBE_CONNECT_TIMEOUT;
  std::chrono::milliseconds read = PROBE_READ_TIMEOUT;  // per read that waits
};

// True when the occupant answered like this program's console. Never fails: any
// problem means false. Blocks for at most the connect limit plus one read limit for
// each read that waits.
bool probe_running_instance(std::uint16_t port, ProbeTimeouts timeouts = {});

// The reply holds both markers anywhere (no HTTP parsing).
bool looks_like_instance(std::string_view reply_bytes);

// The hand-over of a second start: says so on standard output and, unless
// TUNNEL_NO_BROWSER is set, opens the running instance's console in the browser.
void hand_over_to_running_instance(std::uint16_t port);

}  // namespace quillmar
