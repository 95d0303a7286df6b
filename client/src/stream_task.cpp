#include "stream_task.hpp"

#include "environment.hpp"
#include "local_relay.hpp"
#include "output.hpp"

namespace quillmar {

asio::awaitable<void> serve_stream(StreamTaskInputs inputs, Receiver<Frame> queue,
                                   SharedWriterPtr writer, std::shared_ptr<StreamTable> table,
                                   std::chrono::nanoseconds connect_timeout) {
  auto relayed = co_await relay_to_local(inputs.host, inputs.port, inputs.stream_id,
                                         std::move(inputs.first_bytes), std::move(queue), *writer,
                                         connect_timeout);
  if (!relayed && debug_enabled()) {
    print_err("client: stream " + std::to_string(inputs.stream_id) +
              " -> :" + std::to_string(inputs.port) + ": " + relayed.error().display() + "\n");
  }
  (void)co_await writer->send(Frame{{}, inputs.stream_id, KIND_CLOSE});  // the gateway may be gone
  co_await table->take_out(inputs.stream_id);
}

}  // namespace quillmar
