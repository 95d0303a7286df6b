// The two TLS client configurations: the gateway's, which accepts any certificate
// (the caller pins it), and the verifying one of the front door.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "result.hpp"
#include "stream_halves.hpp"

namespace quillmar {

class ClientConfig;  // defined in tls_config.cpp's companion header by the TLS code
using ClientConfigPtr = std::shared_ptr<ClientConfig>;

struct ServerName {
  enum class Type { dns, ip } type = Type::dns;
  std::string text;
};

ClientConfigPtr gateway_tls_config();
Result<ClientConfigPtr> front_door_tls_config(std::optional<std::string_view> pem);
Result<ServerName> server_name_for_host(std::string_view host);

}  // namespace quillmar
