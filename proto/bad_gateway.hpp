// The "502 Bad Gateway" reply the client itself sends to a visitor when a stream's
// local service cannot be reached: an HTML page when the request accepts HTML, plain
// text otherwise, naming the target and the reason.
#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "proto/shared_writer.hpp"

namespace quillmar {

// Whether the request accepts HTML: some line of its first 8,192 bytes (decoded
// lossily, ASCII lower-cased) begins with "accept:" and names text/html. Lines after
// the head count too.
bool request_accepts_html(std::span<const std::uint8_t> first_bytes);

// The whole HTTP reply, head and body.
std::string bad_gateway_reply(std::span<const std::uint8_t> first_bytes, std::string_view host,
                              std::string_view reason, std::uint16_t port);

// Sends the reply as one KIND_DATA frame, then an empty KIND_DATA frame (the end of the
// client's direction), the second whatever became of the first. Send errors are
// dropped; each frame takes the writer's mutex for itself.
asio::awaitable<void> send_bad_gateway(SharedWriter& writer,
                                       std::span<const std::uint8_t> first_bytes,
                                       std::string_view host, std::string_view reason,
                                       std::uint32_t stream_id, std::uint16_t port);

}  // namespace quillmar
