#include "devgw/devgw_session.hpp"

#ifndef _WIN32
#include <sys/socket.h>  // ::shutdown; Asio brings in Winsock's on Windows
#endif

#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>
#include <utility>

#include "devgw/devgw_tls_server.hpp"
#include "proto/text.hpp"

namespace quillmar::devgw {
namespace {

constexpr auto as_tuple_awaitable = asio::experimental::as_tuple(asio::use_awaitable);

// The first bytes of a TLS ClientHello: a handshake record of TLS 1.x.
bool looks_like_tls(const std::array<std::uint8_t, 2>& bytes, std::size_t n) {
  return n == 2 && bytes[0] == 0x16 && bytes[1] == 0x03;
}

std::string tls_failure_hint(const std::error_code& ec) {
  std::string text = ec.message();
  if (text.find("wrong version number") != std::string::npos ||
      text.find("http request") != std::string::npos) {
    return " (a plain client? run the client with TLS, or devgw without --tls)";
  }
  return "";
}

std::string kind_text(std::uint8_t kind) { return "kind " + std::to_string(kind); }

Frame text_frame(std::uint8_t kind, std::uint32_t id, std::string_view text) {
  return new_frame(kind, id, as_bytes(text));
}

// Ends directions of a device's connection. Ending both also cancels a pending read:
// Windows (and Wine) leave a receive waiting after a local shutdown, and the session
// must see the end at once to release the device's name and visitors.
void end_directions(asio::basic_socket<tcp>& socket, tcp::socket::shutdown_type how) {
  std::error_code ignored;  // already shut down or reset: nothing left to end
  socket.shutdown(how, ignored);
  if (how == tcp::socket::shutdown_both) socket.cancel(ignored);
}

}  // namespace

std::function<void(std::exception_ptr)> log_failure(std::shared_ptr<Core> core, std::string what) {
  return [core = std::move(core), what = std::move(what)](std::exception_ptr failure) {
    if (!failure) return;
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      core->log(what + " ended by an exception: " + e.what());
    } catch (...) {
      core->log(what + " ended by an unknown exception");
    }
  };
}

ControlSession::ControlSession(std::shared_ptr<Core> core, std::string peer)
    : core_(std::move(core)),
      peer_(std::move(peer)),
      wake_(core_->strand),
      deadline_(core_->strand),
      account_timer_(core_->strand) {}

asio::awaitable<void> ControlSession::run(std::shared_ptr<ControlSession> self,
                                          tcp::socket socket) {
  self->deadline_.expires_after(self->core_->options.handshake_timeout);
  self->deadline_.async_wait([weak = self->weak_from_this()](std::error_code ec) {
    auto session = weak.lock();
    if (ec || !session || session->closed_) return;
    session->core_->log(session->peer_ + ": no complete handshake within " +
                        std::to_string(session->core_->options.handshake_timeout.count()) +
                        " ms; closing");
    session->close();
  });
  bool opened = co_await self->open_connection(std::move(socket));
  if (opened) co_await self->handshake_and_serve();
  self->end();
}

asio::awaitable<bool> ControlSession::open_connection(tcp::socket socket) {
  std::error_code ignored;  // Nagle only costs latency; a failure changes nothing else
  socket.set_option(tcp::no_delay(true), ignored);

  if (auto context = core_->tls_context()) {
    auto shared = std::make_shared<tcp::socket>(std::move(socket));
    shutdown_socket_ = [shared](tcp::socket::shutdown_type how) { end_directions(*shared, how); };
    auto accepted = co_await accept_tls(shared, std::move(context));
    if (accepted.error) {
      if (!closed_)
        core_->log(peer_ + ": TLS handshake failed: " + accepted.error.message() +
                   tls_failure_hint(accepted.error));
      co_return false;
    }
    tls_ = true;
    use_halves(std::move(accepted.halves));
    co_return true;
  }

  // A client trying TLS on the plain listener gets a clear line instead of a
  // "frame too large" from its ClientHello.
  auto waiting = std::make_shared<tcp::socket>(std::move(socket));
  shutdown_socket_ = [waiting](tcp::socket::shutdown_type how) { end_directions(*waiting, how); };
  auto [wait_ec] = co_await waiting->async_wait(tcp::socket::wait_read, as_tuple_awaitable);
  if (!wait_ec && !closed_) {
    std::array<std::uint8_t, 2> first{};
    std::error_code peek_ec;
    std::size_t n = waiting->receive(asio::buffer(first), tcp::socket::message_peek, peek_ec);
    if (!peek_ec && looks_like_tls(first, n)) {
      core_->log(
          peer_ +
          ": the client speaks TLS to the plain control port; closing (start devgw with --tls, "
          "or the client falls back to plain)");
      co_return false;
    }
  }
  // The halves share the socket with shutdown_socket_, which keeps ending it directly.
  use_halves(split_tcp(waiting));
  co_return true;
}

void ControlSession::use_halves(SplitStream halves) {
  read_ = std::move(halves.read);
  frames_ = std::make_unique<FrameReader>(*read_);
  writer_ = std::make_shared<FrameWriter>(core_->strand, std::move(halves.write));
}

asio::awaitable<std::optional<Frame>> ControlSession::read_handshake_frame(
    std::string_view expecting) {
  auto frame = co_await frames_->next();
  if (!frame) {
    if (!closed_)
      core_->log(peer_ + ": " + frame.error().display() + " while waiting for " +
                 std::string(expecting) + "; closing");
    co_return std::nullopt;
  }
  if (!frame.value()) {
    if (!closed_)
      core_->log(peer_ + ": closed the connection before sending " + std::string(expecting));
    co_return std::nullopt;
  }
  co_return std::move(*frame.value());
}

asio::awaitable<void> ControlSession::handshake_and_serve() {
  auto hello_frame = co_await read_handshake_frame("its hello");
  if (!hello_frame) co_return;
  if (hello_frame->kind != KIND_HELLO) {
    co_await refuse("bad hello: the first frame must be KIND_HELLO, got " +
                    kind_text(hello_frame->kind));
    co_return;
  }
  auto hello = parse_hello(hello_frame->payload);
  if (!hello) {
    co_await refuse(hello.error().message);
    co_return;
  }
  hello_ = std::move(hello).value();

  std::optional<std::string> invite;
  auto next = co_await read_handshake_frame("its access list");
  if (!next) co_return;
  if (next->kind == KIND_INVITE) {
    invite = std::string(as_text(next->payload));
    next = co_await read_handshake_frame("its access list");
    if (!next) co_return;
  }
  if (next->kind != KIND_ACCESS) {
    co_await refuse("bad handshake: expected KIND_ACCESS after the hello, got " +
                    kind_text(next->kind));
    co_return;
  }
  deadline_.cancel();
  std::string access = decode_utf8_lossy(next->payload);

  if (core_->refuse_next) {
    std::string text = std::move(*core_->refuse_next);
    core_->refuse_next.reset();
    co_await refuse(std::move(text));
    co_return;
  }
  if (core_->stall_next) {
    core_->stall_next = false;
    core_->log(hello_.name + " from " + peer_ +
               ": not answering this handshake, as asked (stall-next)");
    co_await drain_until_closed();
    co_return;
  }
  if (auto refusal = core_->refusal_for(hello_, invite)) {
    co_await refuse(std::move(*refusal));
    co_return;
  }

  core_->register_device(shared_from_this());
  welcomed_ = true;
  auto welcome =
      welcome_text(core_->options.pubport_is_public_http ? core_->ports.public_http.value_or(0)
                                                         : core_->options.pubport,
                   core_->options.pubtls_is_public_https ? core_->ports.public_https.value_or(0)
                                                         : core_->options.pubtls);
  auto welcomed = co_await send(text_frame(KIND_WELCOME, 0, welcome));
  if (!welcomed) co_return;

  std::string line = hello_.name + " is online from " + peer_ + (tls_ ? " over TLS" : "") +
                     ", ports " +
                     (hello_.ports.empty() ? std::string("none") : join_ports(hello_.ports, ", "));
  if (!access.empty()) line += ", access list " + quoted_form(access);
  if (core_->ports.public_http && !hello_.ports.empty()) {
    line += " -> http://" + hello_.name + "-" + std::to_string(hello_.ports.front()) + "." +
            core_->options.domain + ":" + std::to_string(*core_->ports.public_http) + "/";
  }
  core_->log(line);

  last_account_ = std::chrono::steady_clock::now();
  auto accounted =
      co_await send(text_frame(KIND_ACCOUNT, 0, account_line(core_->account_for(hello_.token))));
  if (!accounted) co_return;
  co_await frame_loop();
}

asio::awaitable<void> ControlSession::refuse(std::string text) {
  core_->log("refused " + (hello_.name.empty() ? peer_ : hello_.name + " from " + peer_) + ": " +
             text);
  auto refused = co_await send(text_frame(KIND_ERROR, 0, text));
  if (refused) {
    // The refusal is the last frame: end our direction, and read on for a moment so
    // that closing does not reset the connection under the unread refusal.
    shutdown_send();
    deadline_.expires_after(core_->options.linger);
    deadline_.async_wait([weak = weak_from_this()](std::error_code ec) {
      if (auto session = weak.lock(); session && !ec) session->close();
    });
    co_await drain_until_closed();
  }
}

asio::awaitable<void> ControlSession::drain_until_closed() {
  for (;;) {
    auto frame = co_await frames_->next();
    if (!frame || !frame.value()) co_return;
  }
}

asio::awaitable<void> ControlSession::frame_loop() {
  for (;;) {
    auto frame = co_await frames_->next();
    if (!frame) {
      if (!closed_)
        core_->log(hello_.name + ": " + frame.error().display() + "; closing its connection");
      co_return;
    }
    if (!frame.value()) {
      if (!closed_) core_->log(hello_.name + " disconnected");
      co_return;
    }
    // A frame read while muted waits here, whole, until the mute ends.
    co_await wait_while_muted();
    if (closed_) co_return;
    if (closing_) continue;
    co_await dispatch(std::move(*frame.value()));
  }
}

asio::awaitable<void> ControlSession::dispatch(Frame frame) {
  switch (frame.kind) {
    case KIND_DATA:
      co_await route_to_visitor(std::move(frame), false);
      break;
    case KIND_CLOSE:
      co_await route_to_visitor(std::move(frame), true);
      break;
    case KIND_ERROR:
      if (frame.id == 0) {
        core_->log(hello_.name + " says: " + quoted_form(decode_utf8_lossy(frame.payload)));
      } else {
        core_->log(hello_.name + " ended stream " + std::to_string(frame.id) + ": " +
                   quoted_form(decode_utf8_lossy(frame.payload)));
        co_await route_to_visitor(std::move(frame), true);
      }
      break;
    case KIND_HEARTBEAT:
      ++heartbeats_;
      core_->debug(hello_.name + ": heartbeat " + std::to_string(heartbeats_));
      break;
    case KIND_PUNCH_OFFER:
    case KIND_PUNCH_RESULT: {
      std::string payload = decode_utf8_lossy(frame.payload);
      core_->log(hello_.name + ": direct-connection " +
                 (frame.kind == KIND_PUNCH_OFFER ? "offer " : "result ") + quoted_form(payload));
      core_->punch_log.record(hello_.name, frame.kind, std::move(payload));
      break;
    }
    default:
      core_->log(hello_.name + ": ignored a frame of " + kind_text(frame.kind) + " (id " +
                 std::to_string(frame.id) + ", " + std::to_string(frame.payload.size()) +
                 " bytes)");
  }
}

asio::awaitable<void> ControlSession::route_to_visitor(Frame frame, bool remove) {
  auto entry = streams_.find(frame.id);
  if (entry == streams_.end()) {
    core_->debug(hello_.name + ": " + kind_text(frame.kind) + " for stream " +
                 std::to_string(frame.id) + ", which is not open; dropped");
    co_return;
  }
  if (frame.kind == KIND_DATA && !frame.payload.empty())
    core_->count_usage(hello_.token, frame.payload.size());
  // A copy of the sending end, or the table's own when the entry goes: the entry may
  // vanish while this send waits for room.
  FrameSender to_visitor = remove ? std::move(entry->second.to_visitor) : entry->second.to_visitor;
  if (remove) streams_.erase(entry);
  co_await to_visitor.send(std::move(frame));
}

asio::awaitable<void> ControlSession::wait_while_muted() {
  while (muted_ && !closed_) {
    co_await wake_.async_wait(as_tuple_awaitable);  // cancelled to wake us; the loop looks again
  }
}

asio::awaitable<Status> ControlSession::send(Frame frame) {
  std::vector<Frame> frames;
  frames.push_back(std::move(frame));
  co_return co_await send(std::move(frames));
}

asio::awaitable<Status> ControlSession::send(std::vector<Frame> frames) {
  co_await wait_while_muted();
  if (closed_)
    co_return IoError::make(ErrorKind::NotConnected, "the device's connection is closed");
  auto writer = writer_;
  co_return co_await writer->send(std::move(frames));
}

void ControlSession::set_muted(bool muted) {
  muted_ = muted;
  if (muted) {
    wake_.expires_at(asio::steady_timer::time_point::max());
  } else {
    wake_.cancel();
  }
}

void ControlSession::announce_account() {
  if (!welcomed_ || closed_ || closing_ || account_pending_) return;
  account_pending_ = true;
  auto since = std::chrono::steady_clock::now() - last_account_;
  auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(
      core_->options.account_interval - since);
  auto task = [](std::shared_ptr<ControlSession> self,
                 std::chrono::milliseconds wait) -> asio::awaitable<void> {
    co_await self->send_account_after(wait);
  };
  asio::co_spawn(core_->strand,
                 task(shared_from_this(), std::max(delay, std::chrono::milliseconds(0))),
                 log_failure(core_, hello_.name + ": account line"));
}

asio::awaitable<void> ControlSession::send_account_after(std::chrono::milliseconds delay) {
  if (delay.count() > 0) {
    account_timer_.expires_after(delay);
    auto [ec] = co_await account_timer_.async_wait(as_tuple_awaitable);
    if (ec) {
      account_pending_ = false;
      co_return;
    }
  }
  account_pending_ = false;
  if (closed_ || closing_) co_return;
  last_account_ = std::chrono::steady_clock::now();
  // A device gone meanwhile needs no account line; its session ends by itself.
  (void)co_await send(text_frame(KIND_ACCOUNT, 0, account_line(core_->account_for(hello_.token))));
}

void ControlSession::end_for_quota(std::string notice) {
  if (closing_ || closed_) return;
  closing_ = true;
  auto task = [](std::shared_ptr<ControlSession> self, std::string text) -> asio::awaitable<void> {
    self->account_timer_.cancel();
    (void)co_await self->send(
        text_frame(KIND_ACCOUNT, 0, account_line(self->core_->account_for(self->hello_.token))));
    auto noticed = co_await self->send(text_frame(KIND_ERROR, 0, text));
    if (!noticed) co_return;
    self->core_->log(self->hello_.name + ": daily quota used up; sent " + quoted_form(text) +
                     " and closing");
    self->shutdown_send();
    self->deadline_.expires_after(self->core_->options.linger);
    self->deadline_.async_wait([weak = self->weak_from_this()](std::error_code ec) {
      if (auto session = weak.lock(); session && !ec) session->close();
    });
  };
  asio::co_spawn(core_->strand, task(shared_from_this(), std::move(notice)),
                 log_failure(core_, hello_.name + ": quota notice"));
}

void ControlSession::shutdown_send() {
  if (shutdown_socket_) shutdown_socket_(tcp::socket::shutdown_send);
}

void ControlSession::close() {
  closed_ = true;
  if (shutdown_socket_) shutdown_socket_(tcp::socket::shutdown_both);
  wake_.cancel();
}

void ControlSession::end() {
  close();
  deadline_.cancel();
  account_timer_.cancel();
  // Dropping the sending ends lets each visitor's writer deliver what is queued and
  // then close its visitor. A writer resumes inside the drop: the table is empty by then.
  auto streams = std::exchange(streams_, {});
  streams.clear();
  core_->unregister(this);
}

}  // namespace quillmar::devgw
