#include "proto/tls_engine.hpp"

#include <openssl/err.h>

#include <algorithm>
#include <asio/experimental/as_tuple.hpp>
#include <asio/ssl/error.hpp>
#include <asio/use_awaitable.hpp>
#include <cstring>

namespace quillmar {
namespace {

using asio::ip::tcp;
constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);

// The largest payload of one TLS record.
constexpr std::size_t TLS_RECORD = 16 * 1024;

// SSL_get_error tells a call's failure right only when the thread's error queue was empty
// before the call. It nearly always is (every failure here takes its errors out), and
// clearing it costs a pass over all its slots, more than a small record's decryption, so
// it is looked at first.
void clear_stale_errors() {
  if (ERR_peek_error() != 0) ERR_clear_error();
}

}  // namespace

// The engine's transport: reads take what the socket delivered into the input buffer,
// writes append to the output buffer; nothing here touches the socket.
struct TlsEngineBio {
  static TlsEngine& engine(BIO* bio) { return *static_cast<TlsEngine*>(BIO_get_data(bio)); }

  static int read(BIO* bio, char* into, std::size_t size, std::size_t* done) {
    BIO_clear_retry_flags(bio);
    TlsEngine& e = engine(bio);
    const std::size_t n = std::min(size, e.input_end_ - e.input_start_);
    if (n == 0) {
      BIO_set_retry_read(bio);
      *done = 0;
      return 0;
    }
    std::memcpy(into, e.input_.get() + e.input_start_, n);
    e.input_start_ += n;
    *done = n;
    return 1;
  }

  static int write(BIO* bio, const char* from, std::size_t size, std::size_t* done) {
    BIO_clear_retry_flags(bio);
    auto& output = engine(bio).output_;
    // As bytes of the vector's own type, so that the copy is one memmove.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(from);
    output.insert(output.end(), bytes, bytes + size);
    *done = size;
    return 1;
  }

  static long control(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

  // Made once, kept for the life of the process.
  static BIO_METHOD* method() {
    static BIO_METHOD* const made = [] {
      BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "quillmar tls");
      if (m == nullptr || BIO_meth_set_read_ex(m, read) != 1 ||
          BIO_meth_set_write_ex(m, write) != 1 || BIO_meth_set_ctrl(m, control) != 1) {
        throw std::bad_alloc();
      }
      return m;
    }();
    return made;
  }
};

TlsEngine::TlsEngine(std::shared_ptr<tcp::socket> socket, SSL_CTX* context, Role role)
    : socket_(std::move(socket)),
      ssl_(SSL_new(context)),
      input_(std::make_unique_for_overwrite<std::uint8_t[]>(TLS_SOCKET_READ)) {
  BIO* bio = ssl_ ? BIO_new(TlsEngineBio::method()) : nullptr;
  if (bio == nullptr) {
    SSL_free(ssl_);
    throw std::bad_alloc();
  }
  BIO_set_data(bio, this);
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl_, bio, bio);  // the connection owns it from here on
  // Reading never writes to the socket, so nothing may wait for an answer that only a
  // read would send: a renegotiation request is refused (with a warning alert).
  SSL_set_options(ssl_, SSL_OP_NO_RENEGOTIATION);
  SSL_set_read_ahead(ssl_, 1);
  if (role == Role::client) {
    SSL_set_connect_state(ssl_);
  } else {
    SSL_set_accept_state(ssl_);
  }
  // For write_some_now; set before a read and a write may run on two threads at once
  // (see split_tcp).
  std::error_code ignored;
  socket_->non_blocking(true, ignored);
}

TlsEngine::~TlsEngine() { SSL_free(ssl_); }

// Called with the lock held, right after the failed call.
std::error_code TlsEngine::library_error() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return asio::ssl::error::unspecified_system_error;
  return {static_cast<int>(code), asio::error::get_ssl_category()};
}

asio::awaitable<std::error_code> TlsEngine::handshake() {
  for (;;) {
    int done = 0;
    std::error_code problem;
    {
      std::lock_guard lock(mutex_);
      clear_stale_errors();
      done = SSL_do_handshake(ssl_);
      if (done != 1 && SSL_get_error(ssl_, done) != SSL_ERROR_WANT_READ) problem = library_error();
    }
    // Sent in every case: an alert tells the peer why the handshake failed.
    std::error_code sent = co_await flush();
    if (done == 1 || problem) co_return problem ? problem : sent;
    if (sent) co_return sent;
    std::error_code received = co_await receive(true);
    if (received) co_return received;
  }
}

asio::awaitable<IoCount> TlsEngine::read_some(asio::mutable_buffer buffer) {
  auto* bytes = static_cast<std::uint8_t*>(buffer.data());
  for (;;) {
    std::size_t got = 0;
    int failure = SSL_ERROR_NONE;
    std::error_code problem;
    {
      std::lock_guard lock(mutex_);
      clear_stale_errors();
      while (got < buffer.size()) {
        std::size_t n = 0;
        if (SSL_read_ex(ssl_, bytes + got, buffer.size() - got, &n) != 1) {
          failure = SSL_get_error(ssl_, 0);
          break;
        }
        got += n;
      }
      if (got == 0 && failure != SSL_ERROR_WANT_READ && failure != SSL_ERROR_ZERO_RETURN)
        problem = library_error();
    }
    if (got > 0) co_return IoCount{{}, got};
    if (failure == SSL_ERROR_ZERO_RETURN) co_return IoCount{asio::error::eof, 0};
    if (problem) co_return IoCount{problem, 0};
    std::error_code received = co_await receive(false);
    if (received) co_return IoCount{received, 0};
  }
}

bool TlsEngine::encrypt(const std::uint8_t* data, std::size_t size) {
  std::size_t written = 0;
  return SSL_write_ex(ssl_, data, size, &written) == 1;
}

asio::awaitable<IoCount> TlsEngine::write_some(std::span<const asio::const_buffer> pieces) {
  std::size_t total = 0;
  std::error_code problem;
  {
    std::lock_guard lock(mutex_);
    clear_stale_errors();
    bool encrypted = true;
    for (const auto& piece : pieces) {
      const auto* data = static_cast<const std::uint8_t*>(piece.data());
      std::size_t left = piece.size();
      total += left;
      while (encrypted && left > 0) {
        std::size_t taken = 0;
        if (record_.empty() && left >= TLS_RECORD) {
          // Whole records straight from the piece; the rest joins what follows.
          taken = left - left % TLS_RECORD;
          encrypted = encrypt(data, taken);
        } else {
          taken = std::min(left, TLS_RECORD - record_.size());
          record_.insert(record_.end(), data, data + taken);
          if (record_.size() == TLS_RECORD) {
            encrypted = encrypt(record_.data(), record_.size());
            record_.clear();
          }
        }
        data += taken;
        left -= taken;
      }
    }
    if (encrypted && !record_.empty()) encrypted = encrypt(record_.data(), record_.size());
    record_.clear();
    if (!encrypted) problem = library_error();
  }
  if (problem) co_return IoCount{problem, 0};
  std::error_code sent = co_await flush();
  if (sent) co_return IoCount{sent, 0};
  co_return IoCount{{}, total};
}

asio::awaitable<std::error_code> TlsEngine::send_close_notify() {
  {
    std::lock_guard lock(mutex_);
    clear_stale_errors();
    // 0: ours is produced and the peer's not yet seen; reading goes on.
    if (SSL_shutdown(ssl_) < 0) co_return library_error();
  }
  co_return co_await flush();
}

asio::awaitable<std::error_code> TlsEngine::flush() {
  {
    std::lock_guard lock(mutex_);
    if (output_.empty()) co_return std::error_code();
    std::swap(output_, sending_);
  }
  std::error_code ec = co_await send_all(sending_);
  sending_.clear();
  co_return ec;
}

// All of a frame's records in as few writes as the socket allows: asio::async_write
// would cut them into writes of at most 64 KiB, each finished before the next starts.
asio::awaitable<std::error_code> TlsEngine::send_all(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    auto [ec, n] =
        co_await write_some_now(*socket_, asio::const_buffer(bytes.data(), bytes.size()));
    if (ec) co_return ec;
    bytes = bytes.subspan(n);
  }
  co_return std::error_code();
}

asio::awaitable<std::error_code> TlsEngine::receive(bool handshaking) {
  {
    std::lock_guard lock(mutex_);
    const std::size_t left = input_end_ - input_start_;
    std::memmove(input_.get(), input_.get() + input_start_, left);
    input_start_ = 0;
    input_end_ = left;
  }
  auto [ec, n] = co_await socket_->async_read_some(
      asio::buffer(input_.get() + input_end_, TLS_SOCKET_READ - input_end_), use_tuple);
  // Asio's TLS streams report a peer gone in the middle of the handshake so.
  if (ec == asio::error::eof && handshaking) ec = asio::ssl::error::stream_truncated;
  if (ec) co_return ec;
  std::lock_guard lock(mutex_);
  input_end_ += n;
  co_return std::error_code();
}

}  // namespace quillmar
