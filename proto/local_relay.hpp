// One visitor stream's connection to its local service: connect within the limit,
// then relay; or answer the visitor with the "502" reply when the service is down.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "proto/frame.hpp"
#include "proto/frame_queue.hpp"
#include "proto/result.hpp"
#include "proto/shared_writer.hpp"

namespace quillmar {

inline constexpr std::chrono::seconds LOCAL_CONNECT_TIMEOUT{8};
inline constexpr std::size_t LOCAL_READ_BUFFER = 65536;  // the largest KIND_DATA payload sent

// Ends a stream's local connection from outside its task, on the task's own thread:
// at once when it is open, as soon as it is made otherwise. Both directions of the
// relay then end, as when the local service closes the connection.
class LocalCut {
 public:
  void cut();
  bool is_cut() const { return cut_; }
  // The relay's connection, closed by a cut.
  void attach(std::shared_ptr<asio::ip::tcp::socket> socket);

 private:
  std::weak_ptr<asio::ip::tcp::socket> socket_;
  bool cut_ = false;
};
using LocalCutPtr = std::shared_ptr<LocalCut>;

// Sends each local read as KIND_DATA frames of at most LOCAL_READ_BUFFER bytes, then an
// empty KIND_DATA; the stream's writer task carries the queue's frames to the local
// service and is aborted when the local side ends. TimedOut "connect timeout" after the
// limit. The local socket is read only once it has bytes to give, so an idle stream
// holds no read buffer. Runs with its writer task on the caller's thread.
asio::awaitable<Status> relay_to_local(
    std::string_view host, std::uint16_t port, std::uint32_t stream_id,
    std::vector<std::uint8_t> first_bytes, FrameReceiver queue, SharedWriter& writer,
    std::chrono::nanoseconds connect_timeout = LOCAL_CONNECT_TIMEOUT, LocalCutPtr cut = nullptr);

}  // namespace quillmar
