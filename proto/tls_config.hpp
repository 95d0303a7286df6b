// The two TLS client configurations: the gateway's, which accepts any certificate
// (the caller pins it), and the verifying one of the front door.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "proto/result.hpp"

namespace asio::ssl {
class context;
}

namespace quillmar {

// A TLS client configuration: an OpenSSL context and whether it verifies the server's
// certificate. Built once, then only read: connections made from it share it.
class ClientConfig {
 public:
  ClientConfig(std::unique_ptr<asio::ssl::context> context, bool verifies);
  ~ClientConfig();
  ClientConfig(const ClientConfig&) = delete;
  ClientConfig& operator=(const ClientConfig&) = delete;

  asio::ssl::context& context() const { return *context_; }
  // True for the front door (chain, name and purpose are checked); false for the
  // gateway, whose certificate the session pins instead.
  bool verifies() const { return verifies_; }

 private:
  std::unique_ptr<asio::ssl::context> context_;
  bool verifies_;
};
using ClientConfigPtr = std::shared_ptr<ClientConfig>;

struct ServerName {
  enum class Type { dns, ip } type = Type::dns;
  std::string text;  // the host text as given
};

// TLS 1.2 and 1.3 with the library's cipher suites and groups, the nine signature
// schemes of the accept-all verifier, and a verifier that accepts every certificate.
ClientConfigPtr gateway_tls_config();

// Web-PKI verification against the CERTIFICATE sections of the PEM text, or against
// the built-in roots without PEM. Errors: InvalidData.
Result<ClientConfigPtr> front_door_tls_config(std::optional<std::string_view> pem);

// A DNS name, else an IPv4 or IPv6 literal; anything else is InvalidInput
// "invalid dns name". The text is taken as it is: no trimming, brackets are refused.
Result<ServerName> server_name_for_host(std::string_view host);

}  // namespace quillmar
