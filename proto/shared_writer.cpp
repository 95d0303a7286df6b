#include "proto/shared_writer.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/co_spawn.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <typeinfo>

namespace quillmar {
namespace {

asio::execution_context& context_of(const asio::any_io_executor& executor) {
  return asio::query(executor, asio::execution::context);
}

}  // namespace

SharedWriter::SharedWriter(asio::any_io_executor executor, std::unique_ptr<WriteHalf> half)
    : home_(std::move(executor)), half_(std::move(half)) {
  // A thread pool runs handlers side by side: its senders all go through a strand.
  if (home_.target_type() == typeid(asio::thread_pool::executor_type)) {
    home_ = asio::make_strand(home_);
    carry_every_send_ = true;
  }
}

asio::awaitable<Status> SharedWriter::send(Frame frame) {
  auto executor = co_await asio::this_coro::executor;
  if (!carry_every_send_ && &context_of(executor) == &context_of(home_))
    co_return co_await send_here(std::move(frame));
  // Carried over whole: the sender's cancellation does not cross threads, so a frame
  // once started is always finished. The writer stays alive until then.
  auto self = weak_from_this().lock();
  co_return co_await asio::co_spawn(
      home_, send_here(std::move(frame)),
      asio::bind_cancellation_slot(asio::cancellation_slot(), asio::use_awaitable));
}
asio::awaitable<Status> SharedWriter::send_here(Frame frame) {
  if (busy_) {
    Turn turn;
    enqueue(turn);
    bool woken = co_await turn.wait.wait();
    if (!turn.granted) {
      co_return IoError::make(ErrorKind::Interrupted, "send cancelled");
    }
    if (!woken) {
      release_turn();  // the turn came just as the wait was cancelled
      co_return IoError::make(ErrorKind::Interrupted, "send cancelled");
    }
  } else {
    busy_ = true;
  }
  // Released on every way out; a frame left unfinished (the sender cancelled halfway)
  // breaks the writer.
  struct Held {
    SharedWriter& writer;
    bool finished = false;
    ~Held() {
      if (!finished) writer.broken_ = true;
      writer.release_turn();
    }
  } held{*this};

  Status sent;
  if (frame.payload.size() > MAX_FRAME_LEN) {
    sent = IoError::make(ErrorKind::InvalidInput, "frame too large");
  } else if (broken_) {
    sent = IoError::make(ErrorKind::BrokenPipe, "the connection to the gateway is broken");
  } else {
    sent = co_await write_locked(frame);
    if (!sent) broken_ = true;
  }
  held.finished = true;
  co_return sent;
}

void SharedWriter::enqueue(Turn& turn) {
  turn.writer = this;
  (last_waiting_ ? last_waiting_->next : first_waiting_) = &turn;
  last_waiting_ = &turn;
}

void SharedWriter::dequeue(Turn& turn) {
  Turn* before = nullptr;
  for (Turn* at = first_waiting_; at && at != &turn; at = at->next) before = at;
  if ((before ? before->next : first_waiting_) != &turn) return;
  (before ? before->next : first_waiting_) = turn.next;
  if (last_waiting_ == &turn) last_waiting_ = before;
  turn.next = nullptr;
}

SharedWriter::Turn::~Turn() {
  // A sender that leaves the line without its turn (cancelled, or destroyed with its
  // context) takes itself out.
  if (!granted && writer) writer->dequeue(*this);
}

// Hands the turn straight to the oldest waiting sender, which runs at once.
void SharedWriter::release_turn() {
  Turn* next = first_waiting_;
  if (!next) {
    busy_ = false;
    return;
  }
  first_waiting_ = next->next;
  if (!first_waiting_) last_waiting_ = nullptr;
  next->next = nullptr;
  next->granted = true;
  next->wait.wake();
}

asio::awaitable<Status> SharedWriter::write_locked(const Frame& frame) {
  const auto header = encode_header(frame.kind, frame.id, frame.payload.size());
  const std::size_t total = FRAME_HEADER_LEN + frame.payload.size();
  std::size_t sent = 0;
  while (sent < total) {
    std::array<asio::const_buffer, 2> pieces;
    if (sent < FRAME_HEADER_LEN) {
      pieces = {asio::buffer(header.data() + sent, FRAME_HEADER_LEN - sent),
                asio::buffer(frame.payload)};
    } else {
      pieces = {asio::buffer(frame.payload.data() + (sent - FRAME_HEADER_LEN), total - sent),
                asio::const_buffer()};
    }
    auto [ec, n] = co_await half_->write_some(pieces);
    if (ec) co_return IoError::from(ec);
    if (n == 0) co_return IoError::make(ErrorKind::WriteZero, "write zero");
    sent += n;
  }
  co_return Status();
}

}  // namespace quillmar
