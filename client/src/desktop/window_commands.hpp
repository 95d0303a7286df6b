// The hidden window's five settings commands (its buttons' ids): save the access code,
// add a mapping, delete the selected one, set or clear a mapping's access password.
// Each writes SharedState and the key file, then asks the supervisor for one reload;
// the window shows the outcome's message and empties the fields it names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "settings/shared_state.hpp"

namespace quillmar {

inline constexpr int ID_SAVE_INVITE = 101;
inline constexpr int ID_ADD_MAPPING = 102;
inline constexpr int ID_DELETE_MAPPING = 103;
inline constexpr int ID_SET_PASSWORD = 104;
inline constexpr int ID_MAKE_PUBLIC = 105;

// What the window's controls hold when a command runs.
struct WindowFields {
  std::string invite{};                   // access-code field
  std::string port{};                     // local-port field
  std::string password{};                 // access-password field, taken untrimmed
  std::optional<std::size_t> selected{};  // selected row of the mapping list
};

// What the window does afterwards. No message: nothing is shown.
struct CommandOutcome {
  std::optional<std::string> message{};
  bool clear_invite = false;
  bool clear_port = false;
  bool clear_password = false;
  bool refresh = false;

  friend bool operator==(const CommandOutcome&, const CommandOutcome&) = default;
};

bool is_window_command(int id);
// listed_ports are the ports of the mapping list's rows, in row order. An id that is not
// a window command does nothing.
CommandOutcome run_window_command(int id, const WindowFields& fields,
                                  const std::vector<std::uint16_t>& listed_ports,
                                  SharedState& shared, ReloadSender& reload_tx);
// Removes every occurrence of the port, keeping the order of the rest.
void remove_port(std::vector<std::uint16_t>& ports, std::uint16_t port);

}  // namespace quillmar
