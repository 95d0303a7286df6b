#include "session/stream_task.hpp"

#include "app/environment.hpp"
#include "app/output.hpp"
#include "proto/local_relay.hpp"

namespace quillmar {

asio::awaitable<void> serve_stream(StreamTaskInputs inputs, StreamReceiver queue,
                                   SharedWriterPtr writer, StreamTablePtr table,
                                   std::chrono::nanoseconds connect_timeout) {
  StreamTable::TaskMark running(*table);
  Status relayed = co_await relay_to_local(inputs.host, inputs.port, inputs.stream_id,
                                           std::move(inputs.first_bytes), std::move(queue), *writer,
                                           connect_timeout, inputs.cut);
  if (!relayed && debug_enabled()) {
    print_err("client: stream " + std::to_string(inputs.stream_id) +
              " -> :" + std::to_string(inputs.port) + ": " + relayed.error().display() + "\n");
  }
  // The gateway may be gone already; nothing is left to tell it then.
  Frame close{{}, inputs.stream_id, KIND_CLOSE};
  Status closed = co_await writer->send(std::move(close));
  (void)closed;
  // The taken sending end is released here; when it was the last, the queue closes.
  std::optional<StreamSender> own = table->take_out_own(inputs.stream_id, inputs.ticket);
}

}  // namespace quillmar
