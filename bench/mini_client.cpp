// A minimal tunnel client, for measuring the gateway stand-in on its own: the control
// connection's frames and handshake with nothing else around them. One thread; large
// reads that take many frames at once; frames gathered and sent in one write; over TLS,
// the records of one write encrypted together. Its figures show what the stand-in can
// carry, so that a slower path is known to be slow on the client's side.
//
//   mini_client --gw 127.0.0.1:PORT --name NAME --port N [--port N ...] [--tls]
//
// It registers NAME with the ports (no invite code, an empty access list), prints
// "mini_client: ready" on standard output after the welcome and relays every stream to
// 127.0.0.1:<port>. A local service that cannot be reached gets the stream closed (no
// 502 page). It ends when the gateway connection ends. Peers are not verified: it is
// for loopback measurements only.
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "proto/frame.hpp"

namespace {

using asio::ip::tcp;
using namespace quillmar;
using Bytes = std::vector<std::uint8_t>;
constexpr auto as_tuple_awaitable = asio::experimental::as_tuple(asio::use_awaitable);

constexpr std::size_t NET_READ = 256 * 1024;         // one read from the gateway connection
constexpr std::size_t INBOX_SIZE = 2 * 1024 * 1024;  // holds a largest frame and a read
// Frames of the client's size. Bytes on their way pile up in the stand-in when a visitor
// stops reading (iperf3 at the end of a test), and with no per-stream window larger
// frames could hold up the connection behind them.
constexpr std::size_t LOCAL_FRAME = 64 * 1024;
// One read from a local service, sent as frames of LOCAL_FRAME bytes: as the client reads.
constexpr std::size_t LOCAL_READ = 4 * LOCAL_FRAME;
constexpr std::size_t OUTBOX_LIMIT = 1024 * 1024;    // local readers pause above this
constexpr std::size_t TO_LOCAL_LIMIT = 1024 * 1024;  // the frame loop waits above this
constexpr auto HEARTBEAT_EVERY = std::chrono::seconds(25);
constexpr std::string_view TOKEN = "mini-client-benchmark-token";

void say(const std::string& line) {
  std::string text = "mini_client: " + line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
}

// Wakes coroutines of this one thread: wait() returns at the next notify(). A waiter
// checks its condition before waiting, and nothing runs in between, so no wake-up is lost.
class Wakeup {
 public:
  explicit Wakeup(const asio::any_io_executor& executor)
      : timer_(executor, asio::steady_timer::time_point::max()) {}
  asio::awaitable<void> wait() {
    co_await timer_.async_wait(as_tuple_awaitable);  // cancelled is how it is woken
  }
  void notify() { timer_.cancel(); }

 private:
  asio::steady_timer timer_;
};

// --- the gateway connection --------------------------------------------------------------

class GatewayLink {
 public:
  virtual ~GatewayLink() = default;
  // Some bytes into `into`; 0 once the connection has ended or failed.
  virtual asio::awaitable<std::size_t> read(std::span<std::uint8_t> into) = 0;
  // Every byte; false when the connection failed.
  virtual asio::awaitable<bool> write(std::span<const std::uint8_t> bytes) = 0;
};

class PlainLink final : public GatewayLink {
 public:
  explicit PlainLink(tcp::socket socket) : socket_(std::move(socket)) {}

  asio::awaitable<std::size_t> read(std::span<std::uint8_t> into) override {
    auto [ec, n] = co_await socket_.async_read_some(asio::buffer(into.data(), into.size()),
                                                    as_tuple_awaitable);
    co_return ec ? 0 : n;
  }

  asio::awaitable<bool> write(std::span<const std::uint8_t> bytes) override {
    auto [ec, n] = co_await asio::async_write(socket_, asio::buffer(bytes.data(), bytes.size()),
                                              as_tuple_awaitable);
    co_return !ec;
  }

 private:
  tcp::socket socket_;
};

// TLS through memory buffers: the engine takes whole large socket reads, and what one
// write() encrypts leaves in one socket write. Reading and writing take turns on this
// one thread, which is all OpenSSL asks of one connection.
class TlsLink final : public GatewayLink {
 public:
  TlsLink(tcp::socket socket, SSL_CTX* context)
      : socket_(std::move(socket)), ssl_(SSL_new(context)), net_in_(NET_READ) {
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, in_, out_);  // the connection owns both buffers now
    SSL_set_connect_state(ssl_);
  }
  ~TlsLink() override { SSL_free(ssl_); }
  TlsLink(const TlsLink&) = delete;
  TlsLink& operator=(const TlsLink&) = delete;

  asio::awaitable<bool> handshake() {
    for (;;) {
      int done = SSL_do_handshake(ssl_);
      bool sent = co_await flush();
      if (!sent) co_return false;
      if (done == 1) co_return true;
      if (SSL_get_error(ssl_, done) != SSL_ERROR_WANT_READ) co_return false;
      bool more = co_await receive();
      if (!more) co_return false;
    }
  }

  asio::awaitable<std::size_t> read(std::span<std::uint8_t> into) override {
    for (;;) {
      std::size_t got = 0;
      bool wants_input = false;
      while (got < into.size()) {
        std::size_t n = 0;
        if (SSL_read_ex(ssl_, into.data() + got, into.size() - got, &n) == 1) {
          got += n;
          continue;
        }
        wants_input = SSL_get_error(ssl_, 0) == SSL_ERROR_WANT_READ;
        break;
      }
      if (got > 0) co_return got;
      if (!wants_input) co_return 0;  // a close notice or a failure
      bool more = co_await receive();
      if (!more) co_return 0;
    }
  }

  asio::awaitable<bool> write(std::span<const std::uint8_t> bytes) override {
    std::size_t n = 0;
    if (!bytes.empty() && SSL_write_ex(ssl_, bytes.data(), bytes.size(), &n) != 1) co_return false;
    co_return co_await flush();
  }

 private:
  asio::awaitable<bool> receive() {
    auto [ec, n] = co_await socket_.async_read_some(asio::buffer(net_in_), as_tuple_awaitable);
    if (ec) co_return false;
    co_return BIO_write(in_, net_in_.data(), static_cast<int>(n)) == static_cast<int>(n);
  }

  // Sends what the engine has produced. Records that the reading side produces in the
  // meantime stay buffered for the next flush.
  asio::awaitable<bool> flush() {
    std::size_t pending = BIO_ctrl_pending(out_);
    if (pending == 0) co_return true;
    net_out_.resize(pending);
    std::size_t n = 0;
    if (BIO_read_ex(out_, net_out_.data(), pending, &n) != 1) co_return false;
    auto [ec, written] =
        co_await asio::async_write(socket_, asio::buffer(net_out_.data(), n), as_tuple_awaitable);
    co_return !ec;
  }

  tcp::socket socket_;
  SSL* ssl_;
  BIO* in_ = nullptr;
  BIO* out_ = nullptr;
  Bytes net_in_;
  Bytes net_out_;
};

// --- streams and frames ------------------------------------------------------------------

struct Stream {
  Stream(const asio::any_io_executor& executor, std::uint32_t stream_id)
      : id(stream_id), socket(executor), writer_wake(executor), drained(executor) {}
  std::uint32_t id;
  tcp::socket socket;
  Bytes to_local;           // from the gateway, not yet written to the local service
  bool end_output = false;  // shut the local service's input down once to_local is out
  bool gone = false;        // out of the table: nothing more goes to the gateway for it
  Wakeup writer_wake;
  Wakeup drained;  // to_local was taken by the writer, or the stream is gone
};
using StreamPtr = std::shared_ptr<Stream>;

std::uint32_t read_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

class Tunnel {
 public:
  Tunnel(asio::any_io_executor executor, GatewayLink& link)
      : executor_(std::move(executor)),
        link_(link),
        outbox_ready_(executor_),
        outbox_room_(executor_) {}

  // Sends the handshake and runs until the gateway connection ends. False when the
  // gateway refused the device or broke the protocol.
  asio::awaitable<bool> run(const std::string& name, const std::vector<std::uint16_t>& ports) {
    std::string ports_text;
    for (auto port : ports) ports_text += (ports_text.empty() ? "" : ",") + std::to_string(port);
    std::string hello = name + "\n" + ports_text + "\n" + std::string(TOKEN);
    queue_frame(KIND_HELLO, 0, std::as_bytes(std::span(hello)));
    queue_frame(KIND_ACCESS, 0, {});
    asio::co_spawn(executor_, gateway_writer(), asio::detached);
    asio::co_spawn(executor_, heartbeat(), asio::detached);
    bool clean = co_await frame_loop();
    broken_ = true;
    outbox_ready_.notify();
    co_return clean;
  }

 private:
  void queue_frame(std::uint8_t kind, std::uint32_t id, std::span<const std::byte> payload) {
    auto header = encode_header(kind, id, payload.size());
    auto payload_bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
    outbox_.insert(outbox_.end(), header.begin(), header.end());
    outbox_.insert(outbox_.end(), payload_bytes, payload_bytes + payload.size());
    outbox_ready_.notify();
  }

  asio::awaitable<void> gateway_writer() {
    Bytes sending;
    for (;;) {
      while (outbox_.empty() && !broken_) co_await outbox_ready_.wait();
      if (broken_) break;
      std::swap(outbox_, sending);
      outbox_room_.notify();
      bool sent = co_await link_.write(sending);
      sending.clear();
      if (!sent) break;
    }
    broken_ = true;
    outbox_room_.notify();
  }

  asio::awaitable<void> heartbeat() {
    asio::steady_timer timer(executor_);
    while (!broken_) {
      timer.expires_after(HEARTBEAT_EVERY);
      co_await timer.async_wait(as_tuple_awaitable);
      if (!broken_) queue_frame(KIND_HEARTBEAT, 0, {});
    }
  }

  asio::awaitable<bool> frame_loop() {
    Bytes inbox(INBOX_SIZE);
    std::size_t filled = 0;
    for (;;) {
      std::size_t room = std::min(NET_READ, inbox.size() - filled);
      std::size_t n = co_await link_.read(std::span(inbox.data() + filled, room));
      if (n == 0) co_return welcomed_;
      filled += n;
      std::size_t at = 0;
      while (filled - at >= FRAME_HEADER_LEN) {
        const std::uint8_t* header = inbox.data() + at;
        std::size_t length = read_be32(header + 5);
        if (length > MAX_FRAME_LEN) {
          say("the gateway sent a frame that is too large");
          co_return false;
        }
        if (filled - at < FRAME_HEADER_LEN + length) break;
        std::span payload(header + FRAME_HEADER_LEN, length);
        at += FRAME_HEADER_LEN + length;
        if (!welcomed_) {
          bool accepted = handle_reply(header[0], payload);
          if (!accepted) co_return false;
          continue;
        }
        // One frame is handled completely before the next: a local service that is
        // behind holds up the whole connection, as the protocol has no per-stream window.
        if (StreamPtr full = handle(header[0], read_be32(header + 1), payload)) {
          while (full->to_local.size() > TO_LOCAL_LIMIT && !full->gone)
            co_await full->drained.wait();
        }
      }
      std::memmove(inbox.data(), inbox.data() + at, filled - at);
      filled -= at;
    }
  }

  bool handle_reply(std::uint8_t kind, std::span<const std::uint8_t> payload) {
    std::string text(payload.begin(), payload.end());
    if (kind == KIND_WELCOME) {
      welcomed_ = true;
      std::fputs("mini_client: ready\n", stdout);
      std::fflush(stdout);
      return true;
    }
    say(kind == KIND_ERROR ? "the gateway refused: " + text
                           : "the gateway answered with a frame of kind " + std::to_string(kind));
    return false;
  }

  // The stream whose local side is too far behind, when the frame loop must wait for it.
  StreamPtr handle(std::uint8_t kind, std::uint32_t id, std::span<const std::uint8_t> payload) {
    if (kind == KIND_OPEN) {
      open_stream(id, payload);
      return nullptr;
    }
    if (kind == KIND_ERROR && id == 0) {
      say("the gateway says: " + std::string(payload.begin(), payload.end()));
      return nullptr;
    }
    auto found = streams_.find(id);
    if (found == streams_.end()) return nullptr;
    StreamPtr stream = found->second;
    switch (kind) {
      case KIND_DATA:
        if (payload.empty()) stream->end_output = true;
        stream->to_local.insert(stream->to_local.end(), payload.begin(), payload.end());
        break;
      case KIND_HALF_CLOSE:
        stream->end_output = true;
        break;
      case KIND_CLOSE:
      case KIND_ERROR:
        forget(*stream);
        break;
      default:
        return nullptr;
    }
    stream->writer_wake.notify();
    return stream->to_local.size() > TO_LOCAL_LIMIT ? stream : nullptr;
  }

  void open_stream(std::uint32_t id, std::span<const std::uint8_t> payload) {
    auto newline = std::find(payload.begin(), payload.end(), std::uint8_t{'\n'});
    std::uint16_t port = 0;
    auto digits = reinterpret_cast<const char*>(payload.data());
    auto [end, ec] = std::from_chars(digits, digits + (newline - payload.begin()), port);
    if (ec != std::errc() || newline == payload.end() || streams_.contains(id)) {
      queue_frame(KIND_CLOSE, id, {});
      return;
    }
    auto stream = std::make_shared<Stream>(executor_, id);
    stream->to_local.assign(newline + 1, payload.end());
    streams_.emplace(id, stream);
    asio::co_spawn(executor_, run_stream(stream, port), asio::detached);
  }

  // Out of the table; its writer delivers what is queued, then closes the socket.
  void forget(Stream& stream) {
    stream.gone = true;
    streams_.erase(stream.id);
    stream.writer_wake.notify();
    stream.drained.notify();
  }

  // The local side has ended or failed: the gateway learns it, the stream is over.
  void end_from_local(Stream& stream) {
    if (stream.gone) return;
    queue_frame(KIND_DATA, stream.id, {});
    queue_frame(KIND_CLOSE, stream.id, {});
    stream.to_local.clear();
    forget(stream);
  }

  asio::awaitable<void> run_stream(StreamPtr stream, std::uint16_t port) {
    auto [ec] = co_await stream->socket.async_connect({asio::ip::address_v4::loopback(), port},
                                                      as_tuple_awaitable);
    if (ec) {
      end_from_local(*stream);
      co_return;
    }
    std::error_code ignored;  // Nagle only adds latency
    stream->socket.set_option(tcp::no_delay(true), ignored);
    asio::co_spawn(executor_, local_writer(stream), asio::detached);
    co_await local_reader(stream);
  }

  asio::awaitable<void> local_reader(StreamPtr stream) {
    Bytes buffer(LOCAL_READ);
    for (;;) {
      while (outbox_.size() > OUTBOX_LIMIT && !broken_) co_await outbox_room_.wait();
      auto [ec, n] =
          co_await stream->socket.async_read_some(asio::buffer(buffer), as_tuple_awaitable);
      if (ec || broken_) break;
      if (stream->gone) continue;
      const auto bytes = std::as_bytes(std::span(buffer.data(), n));
      for (std::size_t at = 0; at < n; at += LOCAL_FRAME)
        queue_frame(KIND_DATA, stream->id, bytes.subspan(at, std::min(LOCAL_FRAME, n - at)));
    }
    end_from_local(*stream);
  }

  asio::awaitable<void> local_writer(StreamPtr stream) {
    Bytes writing;
    bool output_ended = false;
    for (;;) {
      while (stream->to_local.empty() && !stream->gone && stream->end_output == output_ended)
        co_await stream->writer_wake.wait();
      if (!stream->to_local.empty()) {
        std::swap(writing, stream->to_local);
        stream->drained.notify();
        auto [ec, n] =
            co_await asio::async_write(stream->socket, asio::buffer(writing), as_tuple_awaitable);
        writing.clear();
        if (ec) break;
        continue;
      }
      if (stream->gone) break;
      std::error_code ignored;  // a service that has left needs no end of input
      stream->socket.shutdown(tcp::socket::shutdown_send, ignored);
      output_ended = true;
    }
    end_from_local(*stream);
    std::error_code ignored;  // closing a socket the service has reset still frees it
    stream->socket.close(ignored);
  }

  asio::any_io_executor executor_;
  GatewayLink& link_;
  bool welcomed_ = false;
  bool broken_ = false;  // the gateway connection has ended
  Bytes outbox_;         // frames waiting for the gateway writer
  Wakeup outbox_ready_;
  Wakeup outbox_room_;
  std::unordered_map<std::uint32_t, StreamPtr> streams_;
};

// --- the program -------------------------------------------------------------------------

struct Settings {
  tcp::endpoint gateway;
  std::string name;
  std::vector<std::uint16_t> ports;
  bool tls = false;
};

std::optional<std::uint16_t> parse_port(std::string_view text) {
  std::uint16_t port = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return port;
}

std::optional<Settings> parse(int argc, char** argv) {
  Settings settings;
  bool have_gateway = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--tls") {
      settings.tls = true;
      continue;
    }
    if (i + 1 >= argc) return std::nullopt;
    std::string_view value = argv[++i];
    if (arg == "--gw") {
      auto colon = value.rfind(':');
      if (colon == std::string_view::npos) return std::nullopt;
      auto port = parse_port(value.substr(colon + 1));
      std::error_code ec;
      auto address = asio::ip::make_address(std::string(value.substr(0, colon)), ec);
      if (!port || ec) return std::nullopt;
      settings.gateway = {address, *port};
      have_gateway = true;
    } else if (arg == "--name") {
      settings.name = value;
    } else if (arg == "--port") {
      auto port = parse_port(value);
      if (!port) return std::nullopt;
      settings.ports.push_back(*port);
    } else {
      return std::nullopt;
    }
  }
  if (!have_gateway || settings.name.empty()) return std::nullopt;
  return settings;
}

asio::awaitable<int> run(Settings settings, SSL_CTX* tls_context) {
  auto executor = co_await asio::this_coro::executor;
  tcp::socket socket(executor);
  auto [ec] = co_await socket.async_connect(settings.gateway, as_tuple_awaitable);
  if (ec) {
    say("cannot connect to the gateway: " + ec.message());
    co_return 1;
  }
  std::error_code ignored;  // Nagle only adds latency
  socket.set_option(tcp::no_delay(true), ignored);
  std::unique_ptr<GatewayLink> link;
  if (tls_context) {
    auto tls = std::make_unique<TlsLink>(std::move(socket), tls_context);
    bool shaken = co_await tls->handshake();
    if (!shaken) {
      say("the TLS handshake failed");
      co_return 1;
    }
    link = std::move(tls);
  } else {
    link = std::make_unique<PlainLink>(std::move(socket));
  }
  Tunnel tunnel(executor, *link);
  bool clean = co_await tunnel.run(settings.name, settings.ports);
  say("the gateway connection has ended");
  co_return clean ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  auto settings = parse(argc, argv);
  if (!settings) {
    std::fprintf(stderr,
                 "usage: mini_client --gw ADDRESS:PORT --name NAME --port N [--port N ...] "
                 "[--tls]\n");
    return 2;
  }
  SSL_CTX* tls_context = nullptr;
  if (settings->tls) {
    tls_context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(tls_context, SSL_VERIFY_NONE, nullptr);  // loopback measurements only
  }
  asio::io_context io(1);
  int code = 1;
  asio::co_spawn(io, run(std::move(*settings), tls_context),
                 [&](std::exception_ptr failure, int rc) {
                   code = failure ? 1 : rc;
                   io.stop();
                 });
  io.run();
  if (tls_context) SSL_CTX_free(tls_context);
  return code;
}
