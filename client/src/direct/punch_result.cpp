#include "direct/punch_result.hpp"

#include "proto/text.hpp"

namespace quillmar {

std::string result_payload(std::string_view path_word) {
  return "result|" + std::string(path_word) + "|" + std::to_string(0);
}

asio::awaitable<void> send_punch_result(std::string payload, SharedWriterPtr writer) {
  Frame frame = new_frame(KIND_PUNCH_RESULT, 0, as_bytes(payload));
  Status sent = co_await send_frame(*writer, std::move(frame));
  (void)sent;
}

}  // namespace quillmar
