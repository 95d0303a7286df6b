// The stand-in's public TLS front door, where a visitor whose direct connection is not
// possible reaches a device's public site over TLS. Each connection is given a
// certificate for exactly the name it asks for (its server name indication) when
// that name lies under the domain, else one for the domain itself; both are issued by
// a test authority generated at start, which a client trusts with --front-ca. The
// decrypted bytes go on to the public HTTP listener, which routes them by their Host
// header like any other visitor.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "devgw/devgw_cert.hpp"
#include "devgw/devgw_tls.hpp"
#include "proto/result.hpp"

namespace quillmar::devgw {

struct Core;

// Used on the core's strand only.
class FrontDoor {
 public:
  // Generates the authority and the domain's own certificate.
  static Result<std::unique_ptr<FrontDoor>> create(std::string domain);

  // The authority's certificate, PEM: the trust anchor for the client's --front-ca.
  const std::string& authority_pem() const { return authority_.cert_pem; }
  // The context every handshake starts with; it picks the certificate by name.
  asio::ssl::context& context() { return *contexts_.at(domain_); }

  // Kept while a connection is open, so that stop() can close it.
  void track(const std::shared_ptr<SslStream>& stream) { open_.insert(stream); }
  void forget(const std::shared_ptr<SslStream>& stream) { open_.erase(stream); }
  // Closes every open front-door connection.
  void stop();

 private:
  FrontDoor(std::string domain, CertificatePair authority);
  static int pick_certificate(SSL* ssl, int* alert, void* door);
  // The context presenting a certificate for the name, issued on first use.
  asio::ssl::context* context_for(const std::string& name);

  std::string domain_;
  CertificatePair authority_;
  std::map<std::string, std::shared_ptr<asio::ssl::context>> contexts_;
  std::set<std::shared_ptr<SslStream>> open_;
};

// One front-door connection: the TLS handshake within the visitor head limit, then a
// relay both ways to the public HTTP listener until both directions end.
asio::awaitable<void> serve_front_door_visitor(std::shared_ptr<Core> core,
                                               asio::ip::tcp::socket socket);

}  // namespace quillmar::devgw
