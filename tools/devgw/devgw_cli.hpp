// quillmar-devgw's command line: options into DevGatewayOptions, and the --help text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "devgw/dev_gateway.hpp"
#include "proto/result.hpp"

namespace quillmar::devgw {

inline constexpr std::uint16_t DEFAULT_CONTROL_PORT = 7000;
inline constexpr std::uint16_t DEFAULT_PUBLIC_HTTP_PORT = 7080;
inline constexpr std::uint16_t DEFAULT_ADMIN_PORT = 7001;

inline constexpr std::size_t DEFAULT_VISITOR_THREADS = 2;
inline constexpr std::size_t MAX_VISITOR_THREADS = 64;

struct CommandLine {
  DevGatewayOptions options;
  std::size_t visitor_threads = DEFAULT_VISITOR_THREADS;
  bool help = false;
};

// The arguments after the program name. "--opt value" and "--opt=value" both work.
// An unknown option or a bad value is InvalidInput with a message naming the option.
Result<CommandLine> parse_command_line(const std::vector<std::string>& args);

std::string help_text();

}  // namespace quillmar::devgw
