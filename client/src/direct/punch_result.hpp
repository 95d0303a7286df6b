// The KIND_PUNCH_RESULT report, one frame per direct connection on either side
//: "result|{path word}|0", no line end.
#pragma once

#include <asio/awaitable.hpp>
#include <string>
#include <string_view>

#include "proto/shared_writer.hpp"

namespace quillmar {

// "result|lan|0" for the owner; the visitor's path word is "ping", "v6" or "lan".
std::string result_payload(std::string_view path_word);

// Task body: one frame with stream id 0. A write error is dropped: the gateway only
// counts these, and a broken connection is the session's to notice. The task holds
// its own reference to the writer and releases it at its end.
asio::awaitable<void> send_punch_result(std::string payload, SharedWriterPtr writer);

}  // namespace quillmar
