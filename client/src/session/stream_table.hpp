// The session's table of visitor streams: stream id -> the sending end of that stream's
// queue. The session fills it and routes the gateway's stream frames through it; each
// stream task removes its own entry at its end. The session and its stream tasks run on
// one thread, the only one that touches the table, so it needs no lock: every operation
// completes at once.
#pragma once

#include <asio/awaitable.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "app/memory_release.hpp"
#include "proto/frame.hpp"
#include "proto/frame_queue.hpp"
#include "proto/local_relay.hpp"

namespace quillmar {

inline constexpr std::size_t MAX_STREAMS = 512;        // more open requests are refused
inline constexpr std::size_t STREAM_QUEUE_DEPTH = 32;  // frames queued before a put waits
// Payload bytes queued for one stream before a put waits (a single larger frame still
// goes into an empty queue): a local service that stops reading holds up the frame loop
// after a few MiB, not after 32 frames of up to 1 MiB each.
inline constexpr std::size_t STREAM_QUEUE_BYTES = 2 * 1024 * 1024;
// When the last stream task of a table ends after at least this many ran at once since
// the last time, the heap's free pages go back to the system.
inline constexpr std::size_t RELEASE_AFTER_STREAMS = 64;

using StreamSender = FrameSender;
using StreamReceiver = FrameReceiver;
// Names one entry of one table for as long as it is in it.
using StreamTicket = std::uint64_t;

// A new stream's queue: the sending end goes into the table, the receiving end to the
// stream task (and from there to its writer).
inline std::pair<StreamSender, StreamReceiver> stream_queue() {
  return make_frame_queue({STREAM_QUEUE_DEPTH, STREAM_QUEUE_BYTES});
}

class StreamTable {
 public:
  // release_memory is what the table calls once a burst of streams has ended.
  explicit StreamTable(std::function<void()> release_memory = release_free_memory)
      : release_memory_(std::move(release_memory)) {}
  StreamTable(const StreamTable&) = delete;
  StreamTable& operator=(const StreamTable&) = delete;

  std::size_t count() const { return entries_.size(); }
  // An entry already under the id is replaced; its sending end is released, which
  // closes that queue unless someone holds a second sending end for a put. The ticket
  // names this entry, not the id: the id may be reused by a later stream. The cut, when
  // given, lets cut_all() end the stream's local connection.
  StreamTicket insert(std::uint32_t id, StreamSender sender, LocalCutPtr cut = nullptr);
  std::optional<StreamSender> take_out(std::uint32_t id);
  // Takes the entry out only while it is still the one the ticket names, so that a
  // stream that ends late never removes a newer stream that reuses its id.
  std::optional<StreamSender> take_out_own(std::uint32_t id, StreamTicket ticket);
  // A second sending end; the table keeps its own.
  std::optional<StreamSender> look_up(std::uint32_t id) const;
  // Every entry, leaving the table empty; in no particular order.
  std::vector<std::pair<std::uint32_t, StreamSender>> take_all();
  // Empties the table and ends the local connection of every stream in it: their
  // session is gone, so nothing can reach them any more.
  void cut_all();

  // Puts a frame into a stream's queue, waiting while it holds STREAM_QUEUE_DEPTH frames
  // or STREAM_QUEUE_BYTES of payload. False, with the frame dropped, when the receiving
  // end is gone. A full queue holds up only the caller.
  static asio::awaitable<bool> put(StreamSender& sender, Frame frame) {
    return sender.send(std::move(frame));
  }

  // Held by a stream task for its whole run. The task that ends last, after at least
  // RELEASE_AFTER_STREAMS ran at once, releases the heap's free memory: by then what
  // the burst held (frames, queues, buffers) has been freed.
  class TaskMark {
   public:
    explicit TaskMark(StreamTable& table);
    ~TaskMark();
    TaskMark(const TaskMark&) = delete;
    TaskMark& operator=(const TaskMark&) = delete;

   private:
    StreamTable& table_;
  };

 private:
  struct Entry {
    StreamSender sender;
    StreamTicket ticket;
    LocalCutPtr cut;
  };

  std::unordered_map<std::uint32_t, Entry> entries_;
  StreamTicket next_ticket_ = 1;
  std::size_t running_tasks_ = 0;
  std::size_t peak_tasks_ = 0;  // the most at once since memory was last released
  std::function<void()> release_memory_;
};

// One per accepted session, shared by the session and its stream tasks.
using StreamTablePtr = std::shared_ptr<StreamTable>;

}  // namespace quillmar
