#include "devgw/devgw_visitor_socket.hpp"

#include <asio/bind_executor.hpp>
#include <asio/write.hpp>

namespace quillmar::devgw {
namespace {

// Writes queued behind one another go out together, up to this many frames.
constexpr std::size_t GATHERED_FRAMES = 64;

std::size_t payload_bytes(const std::vector<Frame>& frames) {
  std::size_t n = 0;
  for (const Frame& frame : frames) n += frame.payload.size();
  return n;
}

}  // namespace

VisitorHandoffs::VisitorHandoffs(const Strand& core,
                                 const std::vector<asio::any_io_executor>& visitors)
    : to_core_(std::make_shared<Mailbox<VisitorSocket::CoreEvent>>(core)) {
  if (visitors.empty()) {
    to_visitors_.push_back(std::make_shared<Mailbox<VisitorSocket::Command>>(core));
    return;
  }
  for (const auto& executor : visitors)
    to_visitors_.push_back(std::make_shared<Mailbox<VisitorSocket::Command>>(executor));
}

asio::any_io_executor VisitorHandoffs::next_executor() {
  next_ = (next_ + 1) % to_visitors_.size();
  return to_visitors_[next_]->target();
}

std::shared_ptr<Mailbox<VisitorSocket::Command>> VisitorHandoffs::to(
    const asio::any_io_executor& executor) const {
  for (const auto& box : to_visitors_) {
    if (box->target() == executor) return box;
  }
  // A connection accepted elsewhere: a mailbox of its own still keeps its order.
  return std::make_shared<Mailbox<VisitorSocket::Command>>(executor);
}

std::shared_ptr<VisitorSocket> VisitorSocket::start(
    tcp::socket socket, const std::shared_ptr<VisitorHandoffs>& handoffs) {
  auto to_visitor = handoffs->to(socket.get_executor());
  auto self = std::make_shared<VisitorSocket>(std::move(socket), handoffs->to_core(),
                                              std::move(to_visitor));
  self->to_visitor(Command::What::read_more);
  return self;
}

VisitorSocket::VisitorSocket(tcp::socket socket, std::shared_ptr<Mailbox<CoreEvent>> to_core,
                             std::shared_ptr<Mailbox<Command>> to_visitor)
    : to_core_(std::move(to_core)),
      to_visitor_(std::move(to_visitor)),
      socket_(std::move(socket)) {}

// --- visitor side ------------------------------------------------------------------------

void VisitorSocket::Command::operator()() && {
  VisitorSocket& self = *socket;
  switch (what) {
    case What::read_more:
      self.read_more();
      return;
    case What::close: {
      std::error_code ignored;  // closing a socket the visitor has reset still frees it
      self.socket_.close(ignored);
      return;
    }
    default: {
      // The queued command holds no reference: a queue left over at shutdown frees it.
      auto keep = std::move(socket);
      self.queue(Command{what, nullptr, std::move(frames)});
    }
  }
}

void VisitorSocket::to_core(CoreEvent::What what, std::error_code ec,
                            std::vector<std::uint8_t> bytes) {
  to_core_->push(CoreEvent{what, shared_from_this(), ec, std::move(bytes)});
}

void VisitorSocket::read_more() {
  if (!buffer_) buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(VISITOR_READ_BUFFER);
  socket_.async_read_some(
      asio::buffer(buffer_.get(), VISITOR_READ_BUFFER),
      [self = shared_from_this()](std::error_code ec, std::size_t n) { self->on_read(ec, n); });
}

void VisitorSocket::on_read(std::error_code ec, std::size_t n) {
  if (ec) {
    to_core(CoreEvent::What::input_end, ec);
    return;
  }
  const std::size_t held = unread_.fetch_add(n) + n;
  to_core(CoreEvent::What::bytes, {}, std::vector<std::uint8_t>(buffer_.get(), buffer_.get() + n));
  if (held >= VISITOR_READ_AHEAD) {
    reader_paused_.store(true);
    // Still too much, or the core has taken the flag and resumes the reading itself.
    if (unread_.load() >= VISITOR_READ_AHEAD || !reader_paused_.exchange(false)) return;
  }
  read_more();
}

void VisitorSocket::queue(Command command) {
  commands_.push_back(std::move(command));
  if (!running_) run_next();
}

void VisitorSocket::run_next() {
  running_ = false;
  while (!commands_.empty()) {
    Command command = std::move(commands_.front());
    commands_.pop_front();
    switch (command.what) {
      case Command::What::shutdown_send: {
        std::error_code ignored;  // a visitor that left already needs no end of data
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        continue;
      }
      case Command::What::flushed:
        to_core(CoreEvent::What::flushed);
        continue;
      default:
        break;
    }
    writing_ = std::move(command.frames);
    while (!commands_.empty() && commands_.front().what == Command::What::write &&
           writing_.size() < GATHERED_FRAMES) {
      for (Frame& frame : commands_.front().frames) writing_.push_back(std::move(frame));
      commands_.pop_front();
    }
    const std::size_t n = payload_bytes(writing_);
    if (write_failed_) {
      unwritten_.fetch_sub(n);
      writing_.clear();
      continue;
    }
    std::vector<asio::const_buffer> buffers;
    buffers.reserve(writing_.size());
    for (const Frame& frame : writing_) buffers.push_back(asio::buffer(frame.payload));
    running_ = true;
    asio::async_write(socket_, buffers,
                      [self = shared_from_this(), n](std::error_code ec, std::size_t) {
                        self->on_written(ec, n);
                      });
    return;
  }
}

void VisitorSocket::on_written(std::error_code ec, std::size_t n) {
  writing_.clear();
  const std::size_t left = unwritten_.fetch_sub(n) - n;
  if (ec && !write_failed_) {
    write_failed_ = true;
    to_core(CoreEvent::What::write_failed, ec);
  } else if (left < VISITOR_WRITE_AHEAD && writer_paused_.exchange(false)) {
    to_core(CoreEvent::What::writable);
  }
  run_next();
}

// --- core side ---------------------------------------------------------------------------

void VisitorSocket::CoreEvent::operator()() && {
  VisitorSocket& self = *socket;
  self.arrived(std::move(*this));
}

void VisitorSocket::arrived(CoreEvent event) {
  switch (event.what) {
    case CoreEvent::What::bytes:
      chunks_.push_back(std::move(event.bytes));
      read_wake_.wake();
      return;
    case CoreEvent::What::input_end:
      input_end_ = event.ec;
      read_wake_.wake();
      return;
    case CoreEvent::What::flushed:
      ++flushes_done_;
      flush_wake_.wake();
      return;
    case CoreEvent::What::write_failed:
      write_error_ = event.ec;
      write_wake_.wake();
      return;
    case CoreEvent::What::writable:
      write_wake_.wake();
      return;
  }
}

void VisitorSocket::to_visitor(Command::What what, std::vector<Frame> frames) {
  to_visitor_->push(Command{what, shared_from_this(), std::move(frames)});
}

void VisitorSocket::take(std::size_t n) {
  const std::size_t left = unread_.fetch_sub(n) - n;
  if (left < VISITOR_READ_AHEAD && reader_paused_.exchange(false)) {
    to_visitor(Command::What::read_more);
  }
}

asio::awaitable<VisitorRead> VisitorSocket::read() {
  while (chunks_.empty() && !input_end_) {
    co_await read_wake_.wait();  // nothing cancels it: woken by arrived()
  }
  if (chunks_.empty()) co_return VisitorRead{*input_end_, {}};
  VisitorRead read{{}, std::move(chunks_.front())};
  chunks_.pop_front();
  take(read.bytes.size());
  co_return read;
}

asio::awaitable<std::error_code> VisitorSocket::write(std::vector<Frame> frames) {
  if (write_error_) co_return *write_error_;
  unwritten_.fetch_add(payload_bytes(frames));
  to_visitor(Command::What::write, std::move(frames));
  while (!write_error_ && unwritten_.load() >= VISITOR_WRITE_AHEAD) {
    writer_paused_.store(true);
    // Below the limit already, unless the visitor side has taken the flag and wakes us.
    if (unwritten_.load() < VISITOR_WRITE_AHEAD && writer_paused_.exchange(false)) break;
    co_await write_wake_.wait();  // nothing cancels it: woken by on_written()
  }
  co_return write_error_.value_or(std::error_code());
}

asio::awaitable<void> VisitorSocket::flush() {
  const std::uint64_t asked = ++flushes_asked_;
  to_visitor(Command::What::flushed);
  while (flushes_done_ < asked) {
    co_await flush_wake_.wait();  // nothing cancels it: woken by the flushed command
  }
}

void VisitorSocket::shutdown_send() { to_visitor(Command::What::shutdown_send); }

void VisitorSocket::close() { to_visitor(Command::What::close); }

}  // namespace quillmar::devgw
