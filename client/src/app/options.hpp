// The command line: how options and values are found, and the options record.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proto/result.hpp"
#include "session/tls_mode.hpp"

namespace quillmar {

class ClientConfig;

inline constexpr std::uint16_t DEFAULT_CONSOLE_PORT = 7788;
inline constexpr std::string_view DEFAULT_GATEWAY = QUILLMAR_DEFAULT_GATEWAY;
inline constexpr std::string_view DEFAULT_DOMAIN = QUILLMAR_DEFAULT_DOMAIN;

using Args = std::vector<std::string>;

struct ClientOptions {
  std::uint16_t console_port = DEFAULT_CONSOLE_PORT;
  std::string gateway{DEFAULT_GATEWAY};
  std::string domain{DEFAULT_DOMAIN};
  std::optional<std::string> sub;
  bool auto_rename = false;
  std::vector<std::uint16_t> http_ports;
  TlsMode tls_mode = TlsMode::TLS_AUTO;
  std::optional<std::string> invite;
  std::shared_ptr<ClientConfig> front_door_tls;
  std::uint16_t entry_port = 0;
};

std::optional<std::string> option_value(const Args& args, std::string_view name);
bool has_option(const Args& args, std::string_view name);
std::vector<std::string> option_values(const Args& args, std::string_view name);
// An optional '+', ASCII digits, at most 65535; no trimming.
std::optional<std::uint16_t> parse_port_number(std::string_view text);

// --ui, or 7788 when absent or invalid (early phase).
std::uint16_t console_port_option(const Args& args);
// Every option but --ui, --install and --version; prints the --punch warning.
Result<ClientOptions> read_options(const Args& args);

}  // namespace quillmar
