#include "proto/shared_writer.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
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
    turn.frame = &frame;
    turn.writer = this;
    waiting_.push(turn);
    bool woken = co_await turn.wait.wait();
    if (turn.result) co_return std::move(*turn.result);
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
  // Released on every way out; a batch left unfinished (the sender cancelled halfway)
  // breaks the writer, and the senders it carried learn it.
  struct Held {
    SharedWriter& writer;
    bool finished = false;
    ~Held() {
      if (!finished) {
        writer.broken_ = true;
        writer.settle_carried(IoError::make(ErrorKind::Interrupted, "send cancelled"));
      }
      writer.release_turn();
    }
  } held{*this};

  Status sent;
  if (frame.payload.size() > MAX_FRAME_LEN) {
    sent = IoError::make(ErrorKind::InvalidInput, "frame too large");
  } else if (broken_) {
    sent = IoError::make(ErrorKind::BrokenPipe, "the connection to the gateway is broken");
  } else {
    // Lets the handlers that are ready already run first, so that the senders among
    // them leave in this write instead of the next one.
    co_await asio::post(home_, asio::use_awaitable);
    sent = co_await write_batch(frame);
    if (!sent) broken_ = true;
  }
  held.finished = true;
  settle_carried(sent);
  co_return sent;
}

asio::awaitable<Status> SharedWriter::write_batch(Frame& own) {
  carry_waiting(own);
  headers_.clear();
  pieces_.clear();
  auto add = [this](const Frame& frame) {
    const auto& header =
        headers_.emplace_back(encode_header(frame.kind, frame.id, frame.payload.size()));
    pieces_.push_back(asio::buffer(header));
    if (!frame.payload.empty()) pieces_.push_back(asio::buffer(frame.payload));
  };
  headers_.reserve(batch_.size() + 1);
  add(own);
  for (const Frame& frame : batch_) add(frame);
  Status written = co_await write_pieces();
  batch_.clear();
  co_return written;
}

// Takes the frames of the oldest waiting senders into the batch, while it has room. A
// waiting frame beyond the size limit is refused on its own, as its send would be.
void SharedWriter::carry_waiting(Frame& own) {
  batch_.clear();
  std::size_t bytes = FRAME_HEADER_LEN + own.payload.size();
  while (Turn* next = waiting_.first) {
    const std::size_t size = next->frame->payload.size();
    const bool refused = size > MAX_FRAME_LEN;
    if (!refused && (batch_.size() + 1 >= MAX_BATCH_FRAMES || bytes + size > MAX_BATCH_BYTES))
      break;
    waiting_.pop();
    next->carried = true;
    carried_.push(*next);
    if (refused) {
      next->result = IoError::make(ErrorKind::InvalidInput, "frame too large");
      continue;
    }
    bytes += FRAME_HEADER_LEN + size;
    batch_.push_back(std::move(*next->frame));
  }
}

// Gives every carried sender its result and resumes it. The writer stays alive meanwhile
// if it is shared, since a resumed sender may let go of it.
void SharedWriter::settle_carried(const Status& result) {
  auto self = weak_from_this().lock();
  while (Turn* turn = carried_.pop()) {
    if (!turn->result) turn->result = result;
    turn->carried = false;
    turn->writer = nullptr;
    turn->wait.wake();
  }
}

void SharedWriter::Line::push(Turn& turn) {
  (last ? last->next : first) = &turn;
  last = &turn;
}

SharedWriter::Turn* SharedWriter::Line::pop() {
  Turn* taken = first;
  if (!taken) return nullptr;
  first = taken->next;
  if (!first) last = nullptr;
  taken->next = nullptr;
  return taken;
}

void SharedWriter::Line::remove(Turn& turn) {
  Turn* before = nullptr;
  for (Turn* at = first; at && at != &turn; at = at->next) before = at;
  if ((before ? before->next : first) != &turn) return;
  (before ? before->next : first) = turn.next;
  if (last == &turn) last = before;
  turn.next = nullptr;
}

SharedWriter::Turn::~Turn() {
  // A sender that leaves without its turn or its result (cancelled, or destroyed with
  // its context) takes itself out of the line it is in.
  if (granted || !writer) return;
  (carried ? writer->carried_ : writer->waiting_).remove(*this);
}

// Hands the turn straight to the oldest waiting sender, which runs at once.
void SharedWriter::release_turn() {
  Turn* next = waiting_.pop();
  if (!next) {
    busy_ = false;
    return;
  }
  next->granted = true;
  next->wait.wake();
}

asio::awaitable<Status> SharedWriter::write_pieces() {
  std::span<asio::const_buffer> rest(pieces_);
  while (!rest.empty()) {
    auto [ec, n] = co_await half_->write_some(rest);
    if (ec) co_return IoError::from(ec);
    if (n == 0) co_return IoError::make(ErrorKind::WriteZero, "write zero");
    while (!rest.empty() && n >= rest.front().size()) {
      n -= rest.front().size();
      rest = rest.subspan(1);
    }
    if (n > 0) rest.front() += n;
  }
  co_return Status();
}

}  // namespace quillmar
