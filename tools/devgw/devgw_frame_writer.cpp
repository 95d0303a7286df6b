#include "devgw/devgw_frame_writer.hpp"

#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

namespace quillmar::devgw {

FrameWriter::FrameWriter(const Strand& strand, std::unique_ptr<WriteHalf> half)
    : strand_(strand), half_(std::move(half)) {}

asio::awaitable<Status> FrameWriter::send(std::vector<Frame> frames) {
  for (const Frame& frame : frames) {
    if (frame.payload.size() > MAX_FRAME_LEN) {
      co_return IoError::make(ErrorKind::InvalidInput, "frame too large");
    }
  }
  if (failure_) co_return *failure_;
  for (Frame& frame : frames) waiting_.push_back(std::move(frame));
  const std::uint64_t batch = batches_started_ + 1;  // the one that takes waiting_
  if (!writing_) {
    writing_ = true;
    asio::co_spawn(strand_, write_batches(shared_from_this()),
                   [self = shared_from_this()](std::exception_ptr failure) {
                     if (failure) self->give_up();
                   });
  }
  BatchWaiter waiter{batch, {}};
  waiters_.push_back(&waiter);
  while (batches_done_ < batch) {
    co_await waiter.done.wait();  // woken by wake_done(); a cancelled wait waits again
  }
  if (failure_ && batch >= failed_batch_) co_return *failure_;
  co_return Status();
}

asio::awaitable<void> FrameWriter::write_batches(std::shared_ptr<FrameWriter> self) {
  std::vector<Frame> batch;
  while (!self->waiting_.empty()) {
    // Lets the handlers that are ready already run first, so that the frames they send
    // join this batch.
    co_await asio::post(self->strand_, asio::use_awaitable);
    std::swap(batch, self->waiting_);
    ++self->batches_started_;
    if (!self->failure_) {
      Status written = co_await self->write_batch(batch);
      if (!written) {
        self->failure_ = written.error();
        self->failed_batch_ = self->batches_started_;
      }
    }
    batch.clear();
    self->batches_done_ = self->batches_started_;
    self->wake_done();
  }
  self->writing_ = false;
}

void FrameWriter::give_up() {
  if (!failure_) {
    failure_ = IoError::make(ErrorKind::Other, "the frame writer failed");
    failed_batch_ = batches_started_;
  }
  batches_done_ = batches_started_ = batches_started_ + 1;
  writing_ = false;
  wake_done();
}

void FrameWriter::wake_done() {
  std::vector<BatchWaiter*> done;
  std::erase_if(waiters_, [&](BatchWaiter* waiter) {
    if (waiter->batch > batches_done_) return false;
    done.push_back(waiter);
    return true;
  });
  // A resumed send may send again: it waits in waiters_, not in this list.
  for (BatchWaiter* waiter : done) waiter->done.wake();
}

asio::awaitable<Status> FrameWriter::write_batch(const std::vector<Frame>& batch) {
  if (batch.size() == 1) {
    const Frame& frame = batch.front();
    const auto header = encode_header(frame.kind, frame.id, frame.payload.size());
    co_return co_await write_all({asio::buffer(header), asio::buffer(frame.payload)});
  }
  joined_.clear();
  for (const Frame& frame : batch) {
    const auto header = encode_header(frame.kind, frame.id, frame.payload.size());
    joined_.insert(joined_.end(), header.begin(), header.end());
    joined_.insert(joined_.end(), frame.payload.begin(), frame.payload.end());
  }
  co_return co_await write_all({asio::buffer(joined_), asio::const_buffer()});
}

asio::awaitable<Status> FrameWriter::write_all(std::array<asio::const_buffer, 2> pieces) {
  while (pieces[0].size() + pieces[1].size() > 0) {
    auto [ec, n] = co_await half_->write_some(pieces);
    if (ec) co_return IoError::from(ec);
    if (n == 0) co_return IoError::make(ErrorKind::WriteZero, "write zero");
    std::size_t first = std::min(n, pieces[0].size());
    pieces[0] += first;
    pieces[1] += n - first;
    if (pieces[0].size() == 0) pieces = {pieces[1], asio::const_buffer()};
  }
  co_return Status();
}

}  // namespace quillmar::devgw
