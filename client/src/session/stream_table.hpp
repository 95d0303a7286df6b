// The session's table of visitor streams: stream id -> the sending end of that
// stream's queue, behind an asynchronous mutex. The session fills it and routes the
// gateway's stream frames through it; each stream task removes its own entry at its end.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "proto/async_mutex.hpp"
#include "proto/async_queue.hpp"
#include "proto/frame.hpp"

namespace quillmar {

inline constexpr std::size_t MAX_STREAMS = 512;        // more open requests are refused
inline constexpr std::size_t STREAM_QUEUE_DEPTH = 32;  // frames queued before a put waits

using StreamSender = Sender<Frame>;
using StreamReceiver = Receiver<Frame>;
// Names one entry of one table for as long as it is in it.
using StreamTicket = std::uint64_t;

// A new stream's queue: the sending end goes into the table, the receiving end to the
// stream task (and from there to its writer).
inline std::pair<StreamSender, StreamReceiver> stream_queue() {
  return make_queue<Frame>(STREAM_QUEUE_DEPTH);
}

class StreamTable {
 public:
  // The table while its mutex is held: every operation on the entries goes through one
  // of these, and the mutex is released when it is destroyed (or unlock() is called).
  // Keep it across an awaited operation only where the session must (refusing an open
  // request, the final drain); the table must outlive it.
  class Held {
   public:
    std::size_t count() const { return table_->entries_.size(); }
    // An entry already under the id is replaced; its sending end is released, which
    // closes that queue unless someone holds a second sending end for a put. The
    // ticket names this entry, not the id: the id may be reused by a later stream.
    StreamTicket insert(std::uint32_t id, StreamSender sender);
    std::optional<StreamSender> take_out(std::uint32_t id);
    // Takes the entry out only while it is still the one the ticket names, so that a
    // stream that ends late never removes a newer stream that reuses its id.
    std::optional<StreamSender> take_out_own(std::uint32_t id, StreamTicket ticket);
    // A second sending end; the table keeps its own.
    std::optional<StreamSender> look_up(std::uint32_t id) const;
    // Every entry, leaving the table empty; in no particular order.
    std::vector<std::pair<std::uint32_t, StreamSender>> take_all();
    // Releases the mutex early; the Held must not be used afterwards.
    void unlock() { lock_.unlock(); }

   private:
    friend class StreamTable;
    Held(StreamTable* table, AsyncMutex::Lock lock) : table_(table), lock_(std::move(lock)) {}
    StreamTable* table_;
    AsyncMutex::Lock lock_;
  };

  explicit StreamTable(asio::any_io_executor executor) : mutex_(std::move(executor)) {}
  StreamTable(const StreamTable&) = delete;
  StreamTable& operator=(const StreamTable&) = delete;

  // Waits (in arrival order, yielding the thread) for the mutex.
  asio::awaitable<Held> lock();

  // Each of these holds the mutex for its own duration only.
  asio::awaitable<StreamTicket> insert(std::uint32_t id, StreamSender sender);
  asio::awaitable<std::optional<StreamSender>> take_out(std::uint32_t id);
  asio::awaitable<std::optional<StreamSender>> take_out_own(std::uint32_t id, StreamTicket ticket);
  asio::awaitable<std::optional<StreamSender>> look_up(std::uint32_t id);
  asio::awaitable<std::vector<std::pair<std::uint32_t, StreamSender>>> take_all();
  asio::awaitable<std::size_t> count();

  // Puts a frame into a stream's queue, waiting while it holds STREAM_QUEUE_DEPTH
  // frames. False, with the frame dropped, when the receiving end is gone. Needs no
  // table lock: call it after releasing the mutex, so that a full queue holds up only
  // the caller.
  static asio::awaitable<bool> put(StreamSender& sender, Frame frame);

 private:
  struct Entry {
    StreamSender sender;
    StreamTicket ticket;
  };

  AsyncMutex mutex_;
  std::unordered_map<std::uint32_t, Entry> entries_;  // guarded by mutex_
  StreamTicket next_ticket_ = 1;                      // guarded by mutex_
};

// One per accepted session, shared by the session and its stream tasks.
using StreamTablePtr = std::shared_ptr<StreamTable>;

}  // namespace quillmar
