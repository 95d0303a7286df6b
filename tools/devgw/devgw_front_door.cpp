#include "devgw/devgw_front_door.hpp"

#include <asio/experimental/as_tuple.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "devgw/devgw_core.hpp"
#include "proto/relay.hpp"
#include "proto/text.hpp"

namespace quillmar::devgw {
namespace {

constexpr auto as_tuple_awaitable = asio::experimental::as_tuple(asio::use_awaitable);
// Names asked for beyond this many start the cache anew: a test never gets near it.
constexpr std::size_t MAX_CACHED_NAMES = 256;

bool lies_under(std::string_view name, std::string_view domain) {
  return name.size() > domain.size() + 1 && name.ends_with(domain) &&
         name[name.size() - domain.size() - 1] == '.';
}

}  // namespace

FrontDoor::FrontDoor(std::string domain, CertificatePair authority)
    : domain_(std::move(domain)), authority_(std::move(authority)) {}

Result<std::unique_ptr<FrontDoor>> FrontDoor::create(std::string domain) {
  auto authority = generate_authority("quillmar-devgw test authority");
  if (!authority) return authority.error();
  std::unique_ptr<FrontDoor> door(new FrontDoor(std::move(domain), std::move(authority).value()));
  if (!door->context_for(door->domain_))
    return IoError::make(ErrorKind::Other,
                         "cannot issue the front door's certificate for " + door->domain_);
  return door;
}

asio::ssl::context* FrontDoor::context_for(const std::string& name) {
  if (auto found = contexts_.find(name); found != contexts_.end()) return found->second.get();
  if (contexts_.size() >= MAX_CACHED_NAMES) {
    auto own = contexts_.extract(domain_);
    contexts_.clear();
    if (own) contexts_.insert(std::move(own));
  }
  auto pair = issue_certificate(authority_, name);
  if (!pair) return nullptr;
  auto context = make_server_context(pair.value());
  if (!context) return nullptr;
  SSL_CTX* native = context.value()->native_handle();
  SSL_CTX_set_tlsext_servername_callback(native, &FrontDoor::pick_certificate);
  SSL_CTX_set_tlsext_servername_arg(native, this);
  return contexts_.emplace(name, std::move(context).value()).first->second.get();
}

int FrontDoor::pick_certificate(SSL* ssl, int*, void* arg) {
  auto* door = static_cast<FrontDoor*>(arg);
  const char* requested = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
  std::string name = requested ? ascii_lower(requested) : door->domain_;
  if (!lies_under(name, door->domain_)) name = door->domain_;
  asio::ssl::context* context = door->context_for(name);
  if (!context) return SSL_TLSEXT_ERR_ALERT_FATAL;
  SSL_set_SSL_CTX(ssl, context->native_handle());
  return SSL_TLSEXT_ERR_OK;
}

void FrontDoor::stop() {
  for (const auto& stream : std::vector(open_.begin(), open_.end())) {
    std::error_code ignored;  // a connection the visitor closed already has nothing to close
    stream->lowest_layer().close(ignored);
  }
  open_.clear();
}

asio::awaitable<void> serve_front_door_visitor(std::shared_ptr<Core> core, tcp::socket socket) {
  const std::string peer = peer_text(socket);
  FrontDoor& door = *core->front_door;
  auto stream = std::make_shared<SslStream>(std::move(socket), door.context());
  door.track(stream);
  struct Forget {
    FrontDoor& door;
    std::shared_ptr<SslStream> stream;
    ~Forget() { door.forget(stream); }
  } forget{door, stream};

  asio::steady_timer limit(core->strand);
  limit.expires_after(core->options.visitor_head_timeout);
  limit.async_wait([stream](std::error_code ec) {
    std::error_code ignored;  // closing a connection that just ended changes nothing
    if (!ec) stream->lowest_layer().close(ignored);
  });
  auto [handshake_ec] =
      co_await stream->async_handshake(asio::ssl::stream_base::server, as_tuple_awaitable);
  limit.cancel();
  if (handshake_ec) {
    core->log("front-door visitor " + peer + ": TLS handshake failed: " + handshake_ec.message());
    co_return;
  }
  tcp::socket inner(core->strand);
  const tcp::endpoint public_http(asio::ip::address_v4::loopback(),
                                  core->ports.public_http.value_or(0));
  auto [connect_ec] = co_await inner.async_connect(public_http, as_tuple_awaitable);
  if (connect_ec) {
    core->log("front-door visitor " + peer +
              ": the public HTTP listener is not reachable: " + connect_ec.message());
    co_return;
  }
  core->debug("front-door visitor " + peer + " goes on to the public HTTP listener");
  SplitStream outer_halves = split_ssl(stream);
  SplitStream inner_halves = split_tcp(std::move(inner));
  co_await pipe_streams(std::move(outer_halves), std::move(inner_halves));
}

}  // namespace quillmar::devgw
