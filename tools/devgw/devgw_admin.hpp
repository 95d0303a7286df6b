// The admin line language of the gateway stand-in: splitting a command line, the
// escapes its texts may carry, and frame-kind names. The commands themselves run in
// the gateway (dev_gateway.cpp); their summary is ADMIN_HELP.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "proto/result.hpp"

namespace quillmar::devgw {

inline constexpr std::size_t MAX_ADMIN_LINE = 2 * 1024 * 1024;

// Text with "\n", "\r", "\t", "\0", "\\" and "\xHH" escapes turned into bytes; any
// other backslash sequence is InvalidInput.
Result<std::string> unescape(std::string_view text);

// The first blank-separated word of text, removed from it with the blanks after it.
std::string_view take_word(std::string_view& text);

// "@name" in front of the rest of a command picks one device; nullopt means all.
std::optional<std::string> take_target(std::string_view& text);

// "1048576", "512K", "10M", "2G" (binary multiples, either case) as bytes.
std::optional<std::uint64_t> parse_byte_count(std::string_view text);

// A kind as a decimal number 0 to 255 or a name: "data", "KIND_DATA", "half-close"…
std::optional<std::uint8_t> parse_frame_kind(std::string_view text);

inline constexpr std::string_view ADMIN_HELP =
    "Admin commands (one per line; replies are one line, \"ok…\" or \"error …\"):\n"
    "  help | status | devices | fingerprint\n"
    "  notice [@name] <text>        KIND_ERROR id 0 (a text beginning \"quota:\" ends the client's "
    "session)\n"
    "  punch [@name] <status line>  KIND_PUNCH_STATUS, e.g. "
    "punch|ready|nas|1|8080\\n198.51.100.9|40000|obs-peer\n"
    "  offers <name> | results <name>   the device's KIND_PUNCH_OFFER (KIND_PUNCH_RESULT) "
    "payloads so far, quoted, oldest first\n"
    "  account [@name] [line]       KIND_ACCOUNT with this line, or the gateway's own figures\n"
    "  frame [@name] <kind> <id> [payload]   any frame; kind as a number or a name (data, close, "
    "…)\n"
    "  drop <name>                  close the device's control connection\n"
    "  mute <name> | unmute <name>  stop (resume) reading from and sending to the device\n"
    "  release <name>               forget which token owns the name\n"
    "  usage <name> <bytes>         set the device's traffic used today\n"
    "  refuse-next <text>           answer the next handshake with KIND_ERROR <text>\n"
    "  stall-next                   never answer the next handshake\n"
    "  swap-cert                    a new generated TLS certificate for new connections\n"
    "  set <key> <value>            plan, quota, max-mappings, plan-ends-at, pubport, pubtls,\n"
    "                               invite (off = none), block (off = none), half-close (on/off)\n"
    "  shutdown                     stop the gateway;  quit: end this admin connection\n"
    "Texts take the escapes \\n \\r \\t \\0 \\\\ and \\xHH. Without @name a frame goes to every "
    "online device.\n";

}  // namespace quillmar::devgw
