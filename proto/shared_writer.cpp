#include "proto/shared_writer.hpp"

#include <algorithm>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <iterator>
#include <typeinfo>

namespace quillmar {
namespace {

asio::execution_context& context_of(const asio::any_io_executor& executor) {
  return asio::query(executor, asio::execution::context);
}

bool any_too_large(std::span<const Frame> frames) {
  return std::any_of(frames.begin(), frames.end(),
                     [](const Frame& frame) { return frame.payload.size() > MAX_FRAME_LEN; });
}

std::size_t bytes_on_wire(std::span<const Frame> frames) {
  std::size_t bytes = 0;
  for (const Frame& frame : frames) bytes += FRAME_HEADER_LEN + frame.payload.size();
  return bytes;
}

}  // namespace

SharedWriter::SharedWriter(asio::any_io_executor executor, std::unique_ptr<WriteHalf> half)
    : home_(std::move(executor)), half_(std::move(half)) {
  // A thread pool runs handlers side by side: its senders all go through a strand.
  if (home_.target_type() == typeid(asio::thread_pool::executor_type)) {
    home_ = asio::make_strand(home_);
    carry_every_send_ = true;
  }
  if (!carry_every_send_ && half_->plain_socket()) pipe_ = FramePipe::open();
}

asio::awaitable<Status> SharedWriter::send(Frame frame) {
  auto executor = co_await asio::this_coro::executor;
  if (sends_here(executor)) co_return co_await send_here(std::span(&frame, 1));
  std::vector<Frame> frames;
  frames.push_back(std::move(frame));
  co_return co_await carry_over(std::move(frames));
}

asio::awaitable<Status> SharedWriter::send_frames(std::span<Frame> frames) {
  auto executor = co_await asio::this_coro::executor;
  if (sends_here(executor)) co_return co_await send_here(frames);
  std::vector<Frame> owned(std::make_move_iterator(frames.begin()),
                           std::make_move_iterator(frames.end()));
  co_return co_await carry_over(std::move(owned));
}

bool SharedWriter::sends_here(const asio::any_io_executor& sender) const {
  return !carry_every_send_ && &context_of(sender) == &context_of(home_);
}

// Carried over whole: the sender's cancellation does not cross threads, so a frame
// once started is always finished. The writer stays alive until then, and so do the
// frames, which the carried task owns.
asio::awaitable<Status> SharedWriter::carry_over(std::vector<Frame> frames) {
  auto self = weak_from_this().lock();
  co_return co_await asio::co_spawn(
      home_, send_owned(std::move(frames)),
      asio::bind_cancellation_slot(asio::cancellation_slot(), asio::use_awaitable));
}

asio::awaitable<Status> SharedWriter::send_owned(std::vector<Frame> frames) {
  co_return co_await send_here(frames);
}

// True when no one holds the turn: the sender takes it at once.
bool SharedWriter::claim_turn() { return !std::exchange(busy_, true); }

// Waits behind the senders before it: nullopt once the turn is this sender's. Otherwise
// what the send ends with: the result of the write that carried its frames, or
// Interrupted when its wait was cancelled.
asio::awaitable<std::optional<Status>> SharedWriter::wait_turn(std::span<Frame> own,
                                                               bool carriable) {
  Turn turn;
  turn.frames = own;
  turn.writer = this;
  turn.carriable = carriable;
  waiting_.push(turn);
  bool woken = co_await turn.wait.suspend();  // a new turn: no wake came before
  if (turn.result) co_return std::move(*turn.result);
  if (!turn.granted) co_return IoError::make(ErrorKind::Interrupted, "send cancelled");
  if (!woken) {
    release_turn();  // the turn came just as the wait was cancelled
    co_return IoError::make(ErrorKind::Interrupted, "send cancelled");
  }
  co_return std::nullopt;
}

asio::awaitable<Status> SharedWriter::send_here(std::span<Frame> own) {
  if (!claim_turn()) {
    std::optional<Status> ended = co_await wait_turn(own, true);
    if (ended) co_return std::move(*ended);
  }
  Held held{*this};

  Status sent;
  if (any_too_large(own)) {
    sent = IoError::make(ErrorKind::InvalidInput, "frame too large");
  } else if (broken_) {
    sent = IoError::make(ErrorKind::BrokenPipe, "the connection to the gateway is broken");
  } else {
    // Lets the handlers that are ready already run first, so that the senders among
    // them leave in this write instead of the next one.
    co_await asio::post(home_, asio::use_awaitable);
    gather_batch(own);
    std::error_code failed = co_await write_all(*half_, pieces_);
    batch_.clear();
    if (failed) {
      sent = IoError::from(failed);
      broken_ = true;
    }
  }
  held.finished = true;
  settle_carried(sent);
  co_return sent;
}

asio::awaitable<Result<std::size_t>> SharedWriter::send_from(asio::ip::tcp::socket& local,
                                                             std::uint32_t stream_id,
                                                             std::size_t most,
                                                             std::size_t frame_most) {
  if (!claim_turn()) {
    std::optional<Status> ended = co_await wait_turn({}, false);
    if (ended) co_return ended->error();  // a send from a socket is never carried
  }
  Held held{*this};
  if (broken_) {
    held.finished = true;
    co_return IoError::make(ErrorKind::BrokenPipe, "the connection to the gateway is broken");
  }
  std::size_t put = 0;
  std::error_code failed = pipe_->fill(local, stream_id, most, frame_most, put);
  if (!failed) failed = co_await pipe_->drain(*half_->plain_socket());
  held.finished = true;
  if (failed) {
    broken_ = true;
    co_return IoError::from(failed);
  }
  co_return put;
}

// The pieces of one write: the sender's own frames, then those it carries.
void SharedWriter::gather_batch(std::span<Frame> own) {
  carry_waiting(own);
  headers_.clear();
  pieces_.clear();
  auto add = [this](const Frame& frame) {
    const auto& header =
        headers_.emplace_back(encode_header(frame.kind, frame.id, frame.payload.size()));
    pieces_.push_back(asio::buffer(header));
    if (!frame.payload.empty()) pieces_.push_back(asio::buffer(frame.payload));
  };
  headers_.reserve(own.size() + batch_.size());
  for (const Frame& frame : own) add(frame);
  for (const Frame& frame : batch_) add(frame);
}

// Takes the frames of the oldest waiting senders into the batch, while it has room; a
// sender's frames are taken all or none. A waiting sender with a frame beyond the size
// limit is refused on its own, as its send would be.
void SharedWriter::carry_waiting(std::span<Frame> own) {
  batch_.clear();
  std::size_t bytes = bytes_on_wire(own);
  while (Turn* next = waiting_.first) {
    if (!next->carriable) break;
    const bool refused = any_too_large(next->frames);
    const std::size_t size = bytes_on_wire(next->frames);
    if (!refused && (own.size() + batch_.size() + next->frames.size() > MAX_BATCH_FRAMES ||
                     bytes + size > MAX_BATCH_BYTES))
      break;
    waiting_.pop();
    next->carried = true;
    carried_.push(*next);
    if (refused) {
      next->result = IoError::make(ErrorKind::InvalidInput, "frame too large");
      continue;
    }
    bytes += size;
    for (Frame& frame : next->frames) batch_.push_back(std::move(frame));
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

SharedWriter::Held::~Held() {
  if (!finished) {
    writer.broken_ = true;
    writer.settle_carried(IoError::make(ErrorKind::Interrupted, "send cancelled"));
  }
  writer.release_turn();
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

}  // namespace quillmar
