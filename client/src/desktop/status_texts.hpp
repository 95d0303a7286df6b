// The texts the tray and the hidden window derive from SharedState, and the public
// address the tray menu copies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "settings/shared_state.hpp"

namespace quillmar {

// One line for the tray tip and the menu's first item; the first state that holds
// wins: connection error, quota used up, connected, connecting, no access code.
std::string tray_status_text(const SharedState& shared);
// The window's status line: like the tray text but without the quota case, and saying
// whether the tunnel is encrypted.
std::string status_line_text(const SharedState& shared);
std::string domain_line_text(std::string_view sub, std::string_view domain);
// One row of the mapping list; it always names 127.0.0.1, whatever the target host.
std::string mapping_row_text(std::uint16_t port, bool has_password, std::string_view sub,
                             std::string_view domain);
// "https://{sub}-{port}.{domain}" of the first mapped port the gateway did not block,
// looking at no more than max(max_mappings, 1) ports; none when there is no such port.
std::optional<std::string> access_url(const SharedState& shared, std::string_view domain);

}  // namespace quillmar
