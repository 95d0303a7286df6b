#include "devgw/devgw_visitor_socket.hpp"

#include <asio/bind_executor.hpp>
#include <asio/post.hpp>
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

std::shared_ptr<VisitorSocket> VisitorSocket::start(tcp::socket socket, const Strand& core) {
  auto self = std::make_shared<VisitorSocket>(std::move(socket), core);
  asio::post(self->executor_, [self] { self->read_more(); });
  return self;
}

VisitorSocket::VisitorSocket(tcp::socket socket, const Strand& core)
    : executor_(socket.get_executor()), core_(core), socket_(std::move(socket)) {}

// --- visitor side ------------------------------------------------------------------------

void VisitorSocket::read_more() {
  if (!buffer_) buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(VISITOR_READ_BUFFER);
  socket_.async_read_some(asio::buffer(buffer_.get(), VISITOR_READ_BUFFER),
                          asio::bind_executor(executor_, [self = shared_from_this()](
                                                             std::error_code ec, std::size_t n) {
                            self->on_read(ec, n);
                          }));
}

void VisitorSocket::on_read(std::error_code ec, std::size_t n) {
  if (ec) {
    asio::post(core_, [self = shared_from_this(), ec] { self->arrived(ec, {}); });
    return;
  }
  std::vector<std::uint8_t> bytes(buffer_.get(), buffer_.get() + n);
  const std::size_t held = unread_.fetch_add(n) + n;
  asio::post(core_, [self = shared_from_this(), bytes = std::move(bytes)]() mutable {
    self->arrived({}, std::move(bytes));
  });
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
        asio::post(core_, [self = shared_from_this()] {
          ++self->flushes_done_;
          self->flush_wake_.wake();
        });
        continue;
      case Command::What::write:
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
                      asio::bind_executor(executor_, [self = shared_from_this(), n](
                                                         std::error_code ec, std::size_t) {
                        self->on_written(ec, n);
                      }));
    return;
  }
}

void VisitorSocket::on_written(std::error_code ec, std::size_t n) {
  writing_.clear();
  const std::size_t left = unwritten_.fetch_sub(n) - n;
  if (ec && !write_failed_) {
    write_failed_ = true;
    asio::post(core_, [self = shared_from_this(), ec] {
      self->write_error_ = ec;
      self->write_wake_.wake();
    });
  } else if (left < VISITOR_WRITE_AHEAD && writer_paused_.exchange(false)) {
    asio::post(core_, [self = shared_from_this()] { self->write_wake_.wake(); });
  }
  run_next();
}

// --- core side ---------------------------------------------------------------------------

void VisitorSocket::arrived(std::error_code ec, std::vector<std::uint8_t> bytes) {
  if (ec) {
    input_end_ = ec;
  } else {
    chunks_.push_back(std::move(bytes));
  }
  read_wake_.wake();
}

void VisitorSocket::take(std::size_t n) {
  const std::size_t left = unread_.fetch_sub(n) - n;
  if (left < VISITOR_READ_AHEAD && reader_paused_.exchange(false)) {
    asio::post(executor_, [self = shared_from_this()] { self->read_more(); });
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
  asio::post(executor_, [self = shared_from_this(),
                         command = Command{Command::What::write, std::move(frames)}]() mutable {
    self->queue(std::move(command));
  });
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
  asio::post(executor_, [self = shared_from_this()] {
    self->queue(Command{Command::What::flushed, {}});
  });
  while (flushes_done_ < asked) {
    co_await flush_wake_.wait();  // nothing cancels it: woken by the flushed command
  }
}

void VisitorSocket::shutdown_send() {
  asio::post(executor_, [self = shared_from_this()] {
    self->queue(Command{Command::What::shutdown_send, {}});
  });
}

void VisitorSocket::close() {
  asio::post(executor_, [self = shared_from_this()] {
    std::error_code ignored;  // closing a socket the visitor has reset still frees it
    self->socket_.close(ignored);
  });
}

}  // namespace quillmar::devgw
