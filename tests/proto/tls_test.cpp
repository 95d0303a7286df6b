// The TLS configurations and the TLS connection, against TLS servers on 127.0.0.1
// whose certificates the test makes with OpenSSL.
#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <asio/connect.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/read.hpp>
#include <asio/ssl.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "async_test.hpp"
#include "proto/builtin_roots.hpp"
#include "proto/relay.hpp"
#include "proto/text.hpp"
#include "proto/tls_config.hpp"
#include "proto/tls_stream.hpp"
#include "scoped_env.hpp"

namespace quillmar {
namespace {

using asio::experimental::as_tuple;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;
using namespace std::chrono_literals;
constexpr auto use_tuple = as_tuple(asio::use_awaitable);

// ---------------------------------------------------------------------------
// Certificates made for the test

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
  void operator()(X509* cert) const { X509_free(cert); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;

KeyPtr make_ec_key() { return KeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")); }
KeyPtr make_rsa_key() {
  return KeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048)));
}

struct CertSpec {
  std::string common_name;
  std::string alt_names;  // subjectAltName value, e.g. "DNS:localhost,IP:127.0.0.1"
  long valid_from_days = -1;
  long valid_until_days = 30;
  bool ca = false;
  std::string extended_usage = "serverAuth";  // of a server certificate; empty: none
};

void add_extension(X509* cert, X509V3_CTX* ctx, int nid, const std::string& value) {
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str());
  ASSERT_NE(ext, nullptr) << value;
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// Signed by the issuer, or by its own key when there is no issuer.
CertPtr make_cert(const CertSpec& spec, EVP_PKEY* key, X509* issuer = nullptr,
                  EVP_PKEY* issuer_key = nullptr) {
  CertPtr cert(X509_new());
  X509_set_version(cert.get(), 2);
  unsigned char serial[8];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7f;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), spec.valid_from_days * 86400);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), spec.valid_until_days * 86400);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(spec.common_name.c_str()), -1,
                             -1, 0);
  X509_set_issuer_name(cert.get(), issuer != nullptr ? X509_get_subject_name(issuer) : name);

  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer != nullptr ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
  add_extension(cert.get(), &ctx, NID_subject_key_identifier, "hash");
  if (spec.ca) {
    add_extension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:TRUE");
    add_extension(cert.get(), &ctx, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    add_extension(cert.get(), &ctx, NID_basic_constraints, "CA:FALSE");
    if (!spec.extended_usage.empty())
      add_extension(cert.get(), &ctx, NID_ext_key_usage, spec.extended_usage);
    if (!spec.alt_names.empty())
      add_extension(cert.get(), &ctx, NID_subject_alt_name, spec.alt_names);
  }
  if (issuer != nullptr)
    add_extension(cert.get(), &ctx, NID_authority_key_identifier, "keyid:always");
  X509_sign(cert.get(), issuer_key != nullptr ? issuer_key : key, EVP_sha256());
  return cert;
}

std::string cert_pem(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<std::size_t>(length));
  BIO_free(bio);
  return text;
}

std::string key_pem(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<std::size_t>(length));
  BIO_free(bio);
  return text;
}

std::string der_sha256_hex(X509* cert) {
  unsigned char* der = nullptr;
  int length = i2d_X509(cert, &der);
  unsigned char digest[32];
  unsigned int digest_length = 0;
  EVP_Digest(der, static_cast<std::size_t>(length), digest, &digest_length, EVP_sha256(), nullptr);
  OPENSSL_free(der);
  return hex_lower(std::span<const std::uint8_t>(digest, digest_length));
}

// A certificate and key a test server presents.
struct Identity {
  KeyPtr key;
  CertPtr cert;
  std::vector<X509*> chain = {};  // sent after the certificate; owned by the Pki
};

constexpr const char* GOOD_NAMES = "DNS:localhost,IP:127.0.0.1";

// One test authority and the servers' identities, made once for all tests.
struct Pki {
  KeyPtr ca_key = make_ec_key();
  CertPtr ca = make_cert({"Quillmar Test CA", "", -1, 365, true}, ca_key.get());
  Identity issued = issue({"localhost", GOOD_NAMES});
  Identity expired = issue({"localhost", GOOD_NAMES, -30, -1});
  Identity wrong_name = issue({"other.example", "DNS:other.example,IP:127.0.0.2"});
  Identity self_signed = self({"localhost", GOOD_NAMES});
  Identity self_signed_rsa = self({"localhost", GOOD_NAMES}, make_rsa_key());
  Identity wildcard = issue({"wildcard", "DNS:*.example.test"});
  Identity name_in_subject_only = issue({"localhost", ""});
  Identity client_only = issue({"localhost", GOOD_NAMES, -1, 30, false, "clientAuth"});
  // An intermediate authority under the test authority, and a server it issued that
  // sends the intermediate along.
  KeyPtr intermediate_key = make_ec_key();
  CertPtr intermediate = make_cert({"Quillmar Test Intermediate", "", -1, 365, true},
                                   intermediate_key.get(), ca.get(), ca_key.get());
  Identity chained = issue_by({"localhost", GOOD_NAMES}, intermediate.get(), intermediate_key.get(),
                              {intermediate.get()});

  Identity issue(const CertSpec& spec) { return issue_by(spec, ca.get(), ca_key.get()); }
  static Identity issue_by(const CertSpec& spec, X509* issuer, EVP_PKEY* issuer_key,
                           std::vector<X509*> chain = {}) {
    KeyPtr key = make_ec_key();
    CertPtr cert = make_cert(spec, key.get(), issuer, issuer_key);
    return {std::move(key), std::move(cert), std::move(chain)};
  }
  static Identity self(const CertSpec& spec, KeyPtr key = make_ec_key()) {
    CertPtr cert = make_cert(spec, key.get());
    return {std::move(key), std::move(cert)};
  }
};

Pki& pki() {
  static Pki instance;
  return instance;
}

std::size_t trusted_count(const ClientConfig& config) {
  X509_STORE* store = SSL_CTX_get_cert_store(config.context().native_handle());
  std::size_t count = 0;
  STACK_OF(X509_OBJECT)* objects = X509_STORE_get0_objects(store);
  for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
    if (X509_OBJECT_get_type(sk_X509_OBJECT_value(objects, i)) == X509_LU_X509) ++count;
  }
  return count;
}

// ---------------------------------------------------------------------------
// Test servers

std::unique_ptr<asio::ssl::context> server_context(const Identity& identity) {
  auto ctx = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
  SSL_CTX_use_certificate(ctx->native_handle(), identity.cert.get());
  SSL_CTX_use_PrivateKey(ctx->native_handle(), identity.key.get());
  for (X509* link : identity.chain) SSL_CTX_add1_chain_cert(ctx->native_handle(), link);
  return ctx;
}

tcp::acceptor loopback_acceptor(asio::io_context& io) {
  return tcp::acceptor(io, {asio::ip::address_v4::loopback(), 0});
}

// Accepts one connection, completes the handshake and sends the greeting. Returns the
// handshake's error (the client's refusal arrives as an alert).
asio::awaitable<std::error_code> serve_greeting(tcp::acceptor& acceptor, asio::ssl::context& ctx,
                                                std::string greeting) {
  auto [accept_ec, socket] = co_await acceptor.async_accept(use_tuple);
  if (accept_ec) co_return accept_ec;
  asio::ssl::stream<tcp::socket> stream(std::move(socket), ctx);
  auto [ec] = co_await stream.async_handshake(asio::ssl::stream_base::server, use_tuple);
  if (ec) co_return ec;
  auto [write_ec, n] = co_await asio::async_write(stream, asio::buffer(greeting), use_tuple);
  co_return write_ec;
}

asio::awaitable<Result<TlsConnection>> connect_tls(std::uint16_t port, ClientConfigPtr config,
                                                   std::string host) {
  auto executor = co_await asio::this_coro::executor;
  tcp::socket socket(executor);
  auto [ec] = co_await socket.async_connect({asio::ip::address_v4::loopback(), port}, use_tuple);
  if (ec) co_return IoError::from(ec);
  auto name = server_name_for_host(host);
  if (!name) co_return name.error();
  co_return co_await tls_handshake(std::move(socket), std::move(config), name.value());
}

// Reads until the buffer is full or the input ends.
asio::awaitable<std::string> read_exactly(ReadHalf& half, std::size_t count) {
  std::string out(count, '\0');
  std::size_t filled = 0;
  while (filled < count) {
    auto [ec, n] = co_await half.read_some(asio::buffer(out.data() + filled, count - filled));
    if (ec) break;
    filled += n;
  }
  out.resize(filled);
  co_return out;
}

struct HandshakeOutcome {
  std::error_code server_ec;
  std::optional<IoError> client_error;
  std::string fingerprint;
  std::string greeting;
};

HandshakeOutcome handshake_with(const Identity& identity, ClientConfigPtr config,
                                std::string host) {
  asio::io_context io;
  auto acceptor = loopback_acceptor(io);
  auto ctx = server_context(identity);
  auto port = acceptor.local_endpoint().port();
  return test::run_async(io, [&]() -> asio::awaitable<HandshakeOutcome> {
    auto [server_ec, client] = co_await (serve_greeting(acceptor, *ctx, "hello") &&
                                         connect_tls(port, std::move(config), host));
    HandshakeOutcome outcome{server_ec, std::nullopt, "", ""};
    if (!client) {
      outcome.client_error = client.error();
      co_return outcome;
    }
    outcome.fingerprint = client.value().peer_fingerprint;
    outcome.greeting = co_await read_exactly(*client.value().halves.read, 5);
    co_return outcome;
  }());
}

// ---------------------------------------------------------------------------
// server_name_for_host

struct NameCase {
  const char* name;
  std::string host;
  std::optional<ServerName::Type> expected;  // nothing: InvalidInput "invalid dns name"
};

TEST(ServerNameForHost, AcceptsDnsNamesAndAddressLiteralsOnly) {
  const auto dns = ServerName::Type::dns;
  const auto ip = ServerName::Type::ip;
  const NameCase cases[] = {
      {"host name", "localhost", dns},
      {"dotted name", "gw.quillmar.example", dns},
      {"one trailing dot", "example.com.", dns},
      {"hyphen and underscore inside", "a-b.c_d.example", dns},
      {"upper case kept", "EXAMPLE.Com", dns},
      {"digit labels before a name label", "1.2.3.a", dns},
      {"label starting with a digit", "1password.example", dns},
      {"underscore alone", "_", dns},
      {"63-character label", std::string(63, 'a') + ".example", dns},
      {"253 characters",
       std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
           std::string(61, 'd'),
       dns},
      {"IPv4", "127.0.0.1", ip},
      {"IPv4 zeros", "0.0.0.0", ip},
      {"IPv4 maximum", "255.255.255.255", ip},
      {"IPv6 loopback", "::1", ip},
      {"IPv6 unspecified", "::", ip},
      {"IPv6 compressed", "2001:db8::8a2e:370:7334", ip},
      {"IPv6 full", "1:2:3:4:5:6:7:8", ip},
      {"IPv6 gap at the end", "1:2:3:4:5:6:7::", ip},
      {"IPv6 upper case", "FE80::1", ip},
      {"IPv6 with IPv4 tail", "::ffff:192.0.2.1", ip},
      {"IPv6 full with IPv4 tail", "1:2:3:4:5:6:192.0.2.1", ip},
      {"empty", "", std::nullopt},
      {"leading space (no trimming)", " localhost", std::nullopt},
      {"trailing space", "localhost ", std::nullopt},
      {"bracketed IPv6", "[::1]", std::nullopt},
      {"with port", "localhost:443", std::nullopt},
      {"label starting with hyphen", "-a.example", std::nullopt},
      {"label ending with hyphen", "a-.example", std::nullopt},
      {"empty label", "a..example", std::nullopt},
      {"two trailing dots", "example.com..", std::nullopt},
      {"dot alone", ".", std::nullopt},
      {"leading dot", ".example", std::nullopt},
      {"64-character label", std::string(64, 'a') + ".example", std::nullopt},
      {"254 characters",
       std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
           std::string(62, 'd'),
       std::nullopt},
      {"space inside", "exa mple.com", std::nullopt},
      {"asterisk", "*.example", std::nullopt},
      {"non-ASCII",
       "b\xc3\xbc"
       "cher.example",
       std::nullopt},
      {"numeric last label", "1.2.3", std::nullopt},
      {"five numbers", "1.2.3.4.5", std::nullopt},
      {"IPv4 octet too large", "256.1.1.1", std::nullopt},
      {"IPv4 leading zero", "01.2.3.4", std::nullopt},
      {"IPv4 with trailing dot", "1.2.3.4.", std::nullopt},
      {"IPv6 zone index", "fe80::1%eth0", std::nullopt},
      {"IPv6 nine groups", "1:2:3:4:5:6:7:8:9", std::nullopt},
      {"IPv6 two gaps", "1::2::3", std::nullopt},
      {"IPv6 group too long", "12345::1", std::nullopt},
      {"IPv6 triple colon", ":::", std::nullopt},
      {"IPv6 single leading colon", ":1:2:3:4:5:6:7", std::nullopt},
      {"IPv6 gap standing for nothing", "1:2:3:4::5:6:7:8", std::nullopt},
      {"IPv6 IPv4 tail not last", "::1.2.3.4:1", std::nullopt},
      {"IPv6 short IPv4 tail", "::1.2.3", std::nullopt},
  };
  for (const auto& c : cases) {
    auto result = server_name_for_host(c.host);
    if (c.expected) {
      ASSERT_TRUE(result.ok()) << c.name << ": " << result.error().message;
      EXPECT_EQ(result.value().type, *c.expected) << c.name;
      EXPECT_EQ(result.value().text, c.host) << c.name;
    } else {
      ASSERT_FALSE(result.ok()) << c.name;
      EXPECT_EQ(result.error().kind, ErrorKind::InvalidInput) << c.name;
      EXPECT_EQ(result.error().message, "invalid dns name") << c.name;
    }
  }
}

// ---------------------------------------------------------------------------
// front_door_tls_config and its PEM reading

TEST(FrontDoorTlsConfig, WithoutPemTrustsExactlyTheBuiltInRoots) {
  std::size_t crt_files = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::string(builtin_roots_folder()))) {
    if (entry.path().extension() == ".crt") ++crt_files;
  }
  ASSERT_GT(crt_files, 100u);
  EXPECT_EQ(builtin_root_count(), crt_files);

  auto config = front_door_tls_config(std::nullopt);
  ASSERT_TRUE(config.ok()) << config.error().message;
  EXPECT_TRUE(config.value()->verifies());
  EXPECT_EQ(trusted_count(*config.value()), builtin_root_count());
}

struct PemCase {
  const char* name;
  std::string pem;
  std::size_t anchors;        // expected trust anchors when it succeeds
  std::string error_message;  // expected InvalidData text; "*" for any library text
};

TEST(FrontDoorTlsConfig, ReadsCertificateSectionsAndRefusesBadPem) {
  const std::string ca = cert_pem(pki().ca.get());
  const std::string other = cert_pem(pki().self_signed.cert.get());
  const std::string key = key_pem(pki().ca_key.get());
  const std::string no_certificate = "--front-ca 的 PEM 里没有证书";

  std::string damaged = ca;
  damaged.replace(damaged.find('\n') + 10, 4, "!@#$");
  std::string unterminated = ca.substr(0, ca.find("-----END"));
  const std::string not_a_certificate =
      "-----BEGIN CERTIFICATE-----\nAAECAwQFBgcI\n-----END CERTIFICATE-----\n";

  const PemCase cases[] = {
      {"one certificate", ca, 1, ""},
      {"key section and certificate", key + ca, 1, ""},
      {"two certificates and text around them",
       "issued to us:\n" + ca + "and the other\n" + other + "end\n", 2, ""},
      {"only a private key", key, 0, no_certificate},
      {"no PEM section", "just some text\n", 0, no_certificate},
      {"empty text", "", 0, no_certificate},
      {"damaged Base64", damaged, 0, "*"},
      {"section without end marker", unterminated, 0, "*"},
      {"not a certificate inside", not_a_certificate, 0, "*"},
      {"damaged section after a good one", ca + damaged, 0, "*"},
  };
  for (const auto& c : cases) {
    auto config = front_door_tls_config(c.pem);
    if (c.error_message.empty()) {
      ASSERT_TRUE(config.ok()) << c.name << ": " << config.error().message;
      EXPECT_EQ(trusted_count(*config.value()), c.anchors) << c.name;
      continue;
    }
    ASSERT_FALSE(config.ok()) << c.name;
    EXPECT_EQ(config.error().kind, ErrorKind::InvalidData) << c.name;
    if (c.error_message == "*") {
      EXPECT_FALSE(config.error().message.empty()) << c.name;
      EXPECT_NE(config.error().message, no_certificate) << c.name;
    } else {
      EXPECT_EQ(config.error().message, c.error_message) << c.name;
    }
  }
}

TEST(FrontDoorTlsConfig, ReportsThePemReadersAndTheParsersMessages) {
  std::string damaged = cert_pem(pki().ca.get());
  damaged.replace(damaged.find('\n') + 10, 4, "!@#$");
  auto pem_error = front_door_tls_config(damaged);
  ASSERT_FALSE(pem_error.ok());
  EXPECT_NE(pem_error.error().message.find("PEM routines"), std::string::npos)
      << pem_error.error().message;

  auto der_error = front_door_tls_config(
      "-----BEGIN CERTIFICATE-----\nAAECAwQFBgcI\n-----END CERTIFICATE-----\n");
  ASSERT_FALSE(der_error.ok());
  EXPECT_NE(der_error.error().message.find("asn1"), std::string::npos) << der_error.error().message;
}

// ---------------------------------------------------------------------------
// Handshakes

TEST(GatewayTlsConfig, AcceptsEveryCertificateAndReportsItsFingerprint) {
  struct Case {
    const char* name;
    const Identity& identity;
    std::string host;
  };
  const Case cases[] = {
      {"self-signed", pki().self_signed, "localhost"},
      {"self-signed RSA", pki().self_signed_rsa, "localhost"},
      {"expired", pki().expired, "localhost"},
      {"other name", pki().wrong_name, "localhost"},
      {"issued by an unknown authority", pki().issued, "localhost"},
      {"reached by address", pki().wrong_name, "127.0.0.1"},
  };
  for (const auto& c : cases) {
    auto config = gateway_tls_config();
    EXPECT_FALSE(config->verifies());
    auto outcome = handshake_with(c.identity, config, c.host);
    ASSERT_FALSE(outcome.client_error) << c.name << ": " << outcome.client_error->message;
    EXPECT_FALSE(outcome.server_ec) << c.name << ": " << outcome.server_ec.message();
    EXPECT_EQ(outcome.fingerprint, der_sha256_hex(c.identity.cert.get())) << c.name;
    EXPECT_EQ(outcome.fingerprint.size(), 64u) << c.name;
    EXPECT_EQ(outcome.greeting, "hello") << c.name;
  }
}

TEST(FrontDoorTlsConfig, VerifiesChainNameAndTime) {
  struct Case {
    const char* name;
    const Identity& identity;
    std::string host;
    long verify_error;  // X509_V_OK: accepted
  };
  const Case cases[] = {
      {"issued by the given authority", pki().issued, "localhost", X509_V_OK},
      {"issued, reached by address", pki().issued, "127.0.0.1", X509_V_OK},
      {"host name in upper case", pki().issued, "LOCALHOST", X509_V_OK},
      {"self-signed", pki().self_signed, "localhost", X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
      {"expired", pki().expired, "localhost", X509_V_ERR_CERT_HAS_EXPIRED},
      {"other name", pki().wrong_name, "localhost", X509_V_ERR_HOSTNAME_MISMATCH},
      {"other address", pki().wrong_name, "127.0.0.1", X509_V_ERR_IP_ADDRESS_MISMATCH},
      {"wildcard name", pki().wildcard, "a.example.test", X509_V_OK},
      {"wildcard covers one label only", pki().wildcard, "a.b.example.test",
       X509_V_ERR_HOSTNAME_MISMATCH},
      {"wildcard without its label", pki().wildcard, "example.test", X509_V_ERR_HOSTNAME_MISMATCH},
      {"name in the subject only", pki().name_in_subject_only, "localhost",
       X509_V_ERR_HOSTNAME_MISMATCH},
      {"not for server authentication", pki().client_only, "localhost", X509_V_ERR_INVALID_PURPOSE},
      // No revocation list exists anywhere: the chain is accepted without one.
      {"through an intermediate the server sends", pki().chained, "localhost", X509_V_OK},
  };
  const std::string ca_pem = cert_pem(pki().ca.get());
  for (const auto& c : cases) {
    auto config = front_door_tls_config(ca_pem);
    ASSERT_TRUE(config.ok()) << config.error().message;
    auto outcome = handshake_with(c.identity, config.value(), c.host);
    if (c.verify_error == X509_V_OK) {
      ASSERT_FALSE(outcome.client_error) << c.name << ": " << outcome.client_error->message;
      EXPECT_EQ(outcome.fingerprint, der_sha256_hex(c.identity.cert.get())) << c.name;
      EXPECT_EQ(outcome.greeting, "hello") << c.name;
      continue;
    }
    ASSERT_TRUE(outcome.client_error) << c.name;
    EXPECT_EQ(outcome.client_error->kind, ErrorKind::InvalidData) << c.name;
    const std::string& message = outcome.client_error->message;
    EXPECT_NE(message.find("certificate verify failed"), std::string::npos)
        << c.name << ": " << message;
    EXPECT_NE(message.find(X509_verify_cert_error_string(c.verify_error)), std::string::npos)
        << c.name << ": " << message;
    EXPECT_TRUE(outcome.server_ec) << c.name;
  }
}

TEST(FrontDoorTlsConfig, TrustsAServerCertificateGivenItselfWithItsKey) {
  const Identity& server = pki().self_signed;
  auto config = front_door_tls_config(key_pem(server.key.get()) + cert_pem(server.cert.get()));
  ASSERT_TRUE(config.ok()) << config.error().message;
  EXPECT_EQ(trusted_count(*config.value()), 1u);
  auto outcome = handshake_with(server, config.value(), "localhost");
  ASSERT_FALSE(outcome.client_error) << outcome.client_error->message;
  EXPECT_EQ(outcome.greeting, "hello");
}

// The built-in roots are the embedded ones alone: the test authority is not among
// them, even where OpenSSL's environment variables point at it.
TEST(FrontDoorTlsConfig, BuiltInRootsDoNotTrustTheTestAuthority) {
  test::TempDir dir;
  test::write_file(dir.path() / "ca.pem", cert_pem(pki().ca.get()));
  test::ScopedEnv file("SSL_CERT_FILE", (dir.path() / "ca.pem").string());
  test::ScopedEnv folder("SSL_CERT_DIR", dir.path().string());
  auto config = front_door_tls_config(std::nullopt);
  ASSERT_TRUE(config.ok());
  auto outcome = handshake_with(pki().issued, config.value(), "localhost");
  ASSERT_TRUE(outcome.client_error);
  EXPECT_NE(outcome.client_error->message.find(
                X509_verify_cert_error_string(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY)),
            std::string::npos)
      << outcome.client_error->message;
}

// Any given certificate ends a chain, also an intermediate; a chain that the server
// leaves incomplete does not reach the root.
TEST(FrontDoorTlsConfig, AnIntermediateServesAsAnAnchor) {
  struct Case {
    const char* name;
    std::string pem;
    const Identity& server;
    bool accepted;
  };
  const Identity missing_link = Pki::issue_by({"localhost", GOOD_NAMES}, pki().intermediate.get(),
                                              pki().intermediate_key.get());
  const Case cases[] = {
      {"intermediate given, server sends it too", cert_pem(pki().intermediate.get()), pki().chained,
       true},
      {"intermediate given, server sends its own only", cert_pem(pki().intermediate.get()),
       missing_link, true},
      {"root given, server leaves the intermediate out", cert_pem(pki().ca.get()), missing_link,
       false},
  };
  for (const auto& c : cases) {
    auto config = front_door_tls_config(c.pem);
    ASSERT_TRUE(config.ok()) << c.name;
    auto outcome = handshake_with(c.server, config.value(), "localhost");
    EXPECT_EQ(!outcome.client_error, c.accepted)
        << c.name << ": " << (outcome.client_error ? outcome.client_error->message : "");
  }
}

TEST(TlsHandshake, ReportsTheLibrarysTextWhenThePeerSpeaksNoTls) {
  asio::io_context io;
  auto acceptor = loopback_acceptor(io);
  auto port = acceptor.local_endpoint().port();
  auto plain_server = [&]() -> asio::awaitable<void> {
    auto [ec, socket] = co_await acceptor.async_accept(use_tuple);
    if (ec) co_return;
    const std::string reply = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
    co_await asio::async_write(socket, asio::buffer(reply), use_tuple);
  };
  auto result = test::run_async(io, [&]() -> asio::awaitable<Result<TlsConnection>> {
    co_return co_await (plain_server() && connect_tls(port, gateway_tls_config(), "localhost"));
  }());
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, ErrorKind::InvalidData);
  EXPECT_NE(result.error().message.find("SSL routines"), std::string::npos)
      << result.error().message;
}

TEST(TlsHandshake, EndsCleanlyWhenTheCallersTimerWins) {
  asio::io_context io;
  auto acceptor = loopback_acceptor(io);
  auto port = acceptor.local_endpoint().port();
  auto started = std::chrono::steady_clock::now();
  auto [timer_won, peer_saw_close] =
      test::run_async(io, [&]() -> asio::awaitable<std::pair<bool, bool>> {
        // The server accepts and never answers; after the client gave up, it sees the
        // connection closed.
        auto silent_server = [&]() -> asio::awaitable<bool> {
          auto [ec, socket] = co_await acceptor.async_accept(use_tuple);
          if (ec) co_return false;
          std::vector<char> sink(4096);
          for (;;) {
            auto [read_ec, n] = co_await socket.async_read_some(asio::buffer(sink), use_tuple);
            if (read_ec) co_return true;
          }
        };
        auto client = [&]() -> asio::awaitable<bool> {
          asio::steady_timer timer(co_await asio::this_coro::executor, 150ms);
          auto winner = co_await (connect_tls(port, gateway_tls_config(), "localhost") ||
                                  timer.async_wait(use_tuple));
          co_return winner.index() == 1;
        };
        auto [closed, won] = co_await (silent_server() && client());
        co_return std::pair{won, closed};
      }());
  EXPECT_TRUE(timer_won);
  EXPECT_TRUE(peer_saw_close);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
}

// ---------------------------------------------------------------------------
// What the gateway configuration offers: the ClientHello as a raw listener sees it

struct ClientHello {
  std::map<std::uint16_t, std::vector<std::uint8_t>> extensions;
};

std::uint16_t be16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b.at(at) << 8 | b.at(at + 1));
}

ClientHello parse_client_hello(const std::vector<std::uint8_t>& body) {
  // body: handshake type (1), length (3), version (2), random (32), session id,
  // cipher suites, compression methods, extensions.
  EXPECT_EQ(body.at(0), 1);
  std::size_t at = 4 + 2 + 32;
  at += 1 + body.at(at);
  at += 2 + be16(body, at);
  at += 1 + body.at(at);
  std::size_t end = at + 2 + be16(body, at);
  at += 2;
  ClientHello hello;
  while (at < end) {
    std::uint16_t type = be16(body, at);
    std::uint16_t length = be16(body, at + 2);
    hello.extensions[type] =
        std::vector<std::uint8_t>(body.begin() + static_cast<long>(at + 4),
                                  body.begin() + static_cast<long>(at + 4 + length));
    at += 4 + length;
  }
  EXPECT_EQ(at, end);
  return hello;
}

ClientHello capture_client_hello(ClientConfigPtr config, const std::string& host) {
  asio::io_context io;
  auto acceptor = loopback_acceptor(io);
  auto port = acceptor.local_endpoint().port();
  auto capture = [&]() -> asio::awaitable<std::vector<std::uint8_t>> {
    auto [ec, socket] = co_await acceptor.async_accept(use_tuple);
    if (ec) co_return std::vector<std::uint8_t>{};
    std::vector<std::uint8_t> header(5);
    co_await asio::async_read(socket, asio::buffer(header), use_tuple);
    std::vector<std::uint8_t> body(be16(header, 3));
    co_await asio::async_read(socket, asio::buffer(body), use_tuple);
    EXPECT_EQ(header[0], 22);  // a handshake record
    co_return body;            // closing the socket ends the client's handshake
  };
  auto body = test::run_async(io, [&]() -> asio::awaitable<std::vector<std::uint8_t>> {
    auto [bytes, client] = co_await (capture() && connect_tls(port, std::move(config), host));
    EXPECT_FALSE(client.ok());
    co_return bytes;
  }());
  return parse_client_hello(body);
}

std::vector<std::uint16_t> u16_list(const std::vector<std::uint8_t>& data,
                                    std::size_t length_bytes) {
  std::size_t length = length_bytes == 2 ? be16(data, 0) : data.at(0);
  EXPECT_EQ(length + length_bytes, data.size());
  std::vector<std::uint16_t> values;
  for (std::size_t at = length_bytes; at + 1 < data.size(); at += 2)
    values.push_back(be16(data, at));
  return values;
}

constexpr std::uint16_t EXT_SERVER_NAME = 0x0000;
constexpr std::uint16_t EXT_ALPN = 0x0010;
constexpr std::uint16_t EXT_SIGNATURE_ALGORITHMS = 0x000d;
constexpr std::uint16_t EXT_SUPPORTED_VERSIONS = 0x002b;

TEST(GatewayTlsConfig, OffersExactlyTheNineSignatureSchemesInOrder) {
  auto hello = capture_client_hello(gateway_tls_config(), "localhost");
  ASSERT_TRUE(hello.extensions.count(EXT_SIGNATURE_ALGORITHMS));
  const std::vector<std::uint16_t> expected = {0x0401, 0x0501, 0x0601, 0x0804, 0x0805,
                                               0x0806, 0x0403, 0x0503, 0x0807};
  EXPECT_EQ(u16_list(hello.extensions[EXT_SIGNATURE_ALGORITHMS], 2), expected);

  ASSERT_TRUE(hello.extensions.count(EXT_SUPPORTED_VERSIONS));
  const std::vector<std::uint16_t> versions = {0x0304, 0x0303};
  EXPECT_EQ(u16_list(hello.extensions[EXT_SUPPORTED_VERSIONS], 1), versions);
  EXPECT_FALSE(hello.extensions.count(EXT_ALPN));
}

TEST(TlsHandshake, SendsServerNameIndicationForDnsNamesOnly) {
  struct Case {
    const char* name;
    std::string host;
    std::optional<std::string> indicated;
  };
  const Case cases[] = {
      {"host name", "gw.quillmar.example", "gw.quillmar.example"},
      {"trailing dot left out", "gw.quillmar.example.", "gw.quillmar.example"},
      {"IPv4 address", "127.0.0.1", std::nullopt},
      {"IPv6 address", "::1", std::nullopt},
  };
  for (const auto& c : cases) {
    for (bool verifying : {false, true}) {
      auto config = verifying ? front_door_tls_config(std::nullopt).value() : gateway_tls_config();
      auto hello = capture_client_hello(config, c.host);
      if (!c.indicated) {
        EXPECT_FALSE(hello.extensions.count(EXT_SERVER_NAME)) << c.name;
        continue;
      }
      ASSERT_TRUE(hello.extensions.count(EXT_SERVER_NAME)) << c.name;
      const auto& data = hello.extensions[EXT_SERVER_NAME];
      // list length (2), name type (1) = host_name, name length (2), name
      ASSERT_GE(data.size(), 5u) << c.name;
      EXPECT_EQ(data[2], 0) << c.name;
      EXPECT_EQ(std::string(data.begin() + 5, data.end()), *c.indicated) << c.name;
    }
  }
}

// ---------------------------------------------------------------------------
// The split halves

// A TLS echo server on a thread of its own: echoes everything until the client's
// close notice, then sends the trailer and its own close notice.
class EchoServer {
 public:
  explicit EchoServer(const Identity& identity, std::string trailer)
      : ctx_(server_context(identity)),
        acceptor_(loopback_acceptor(io_)),
        trailer_(std::move(trailer)) {
    asio::co_spawn(io_, serve(), [this](std::exception_ptr, std::error_code ec) { end_ = ec; });
    thread_ = std::thread([this] { io_.run(); });
  }
  ~EchoServer() {
    io_.stop();
    if (thread_.joinable()) thread_.join();
  }
  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
  // After the client's connection ended: how the input ended and how much came.
  std::error_code finish(std::size_t& received) {
    thread_.join();  // the thread's run() returns when the server coroutine has ended
    received = received_;
    return end_;
  }

 private:
  asio::awaitable<std::error_code> serve() {
    auto [accept_ec, socket] = co_await acceptor_.async_accept(use_tuple);
    if (accept_ec) co_return accept_ec;
    asio::ssl::stream<tcp::socket> stream(std::move(socket), *ctx_);
    auto [ec] = co_await stream.async_handshake(asio::ssl::stream_base::server, use_tuple);
    if (ec) co_return ec;
    std::vector<char> buffer(64 * 1024);
    std::error_code read_ec;
    for (;;) {
      auto [rec, n] = co_await stream.async_read_some(asio::buffer(buffer), use_tuple);
      if (rec) {
        read_ec = rec;
        break;
      }
      received_ += n;
      auto [wec, written] =
          co_await asio::async_write(stream, asio::buffer(buffer.data(), n), use_tuple);
      if (wec) co_return wec;
    }
    if (read_ec != asio::error::eof) co_return read_ec;  // stream_truncated: no close notice came
    co_await asio::async_write(stream, asio::buffer(trailer_), use_tuple);
    co_await stream.async_shutdown(use_tuple);
    co_return read_ec;
  }

  asio::io_context io_;
  std::unique_ptr<asio::ssl::context> ctx_;
  tcp::acceptor acceptor_;
  std::string trailer_;
  std::size_t received_ = 0;
  std::error_code end_ = asio::error::operation_aborted;
  std::thread thread_;
};

std::uint8_t pattern_byte(std::size_t i) { return static_cast<std::uint8_t>(i * 31 + i / 7); }

// Writes total pattern bytes in chunks of varying size, each as two pieces (a short
// head and the rest, as the frame writer does), then shuts the sending side down.
asio::awaitable<std::error_code> write_pattern(std::unique_ptr<WriteHalf> half, std::size_t total) {
  std::vector<std::uint8_t> data(total);
  for (std::size_t i = 0; i < total; ++i) data[i] = pattern_byte(i);
  std::size_t sent = 0;
  std::size_t chunk = 1;
  while (sent < total) {
    chunk = (chunk * 7919 + 13) % 40000 + 1;
    std::size_t end = std::min(total, sent + chunk);
    while (sent < end) {
      std::size_t head = std::min<std::size_t>(9, end - sent);
      const std::array<asio::const_buffer, 2> pieces = {
          asio::buffer(data.data() + sent, head),
          asio::buffer(data.data() + sent + head, end - sent - head)};
      auto [ec, n] = co_await half->write_some(pieces);
      if (ec) co_return ec;
      if (n == 0) co_return make_error_code(StreamError::write_zero);
      sent += n;
    }
  }
  co_return co_await half->shutdown();
}

struct ReadOutcome {
  std::size_t pattern_bytes = 0;
  bool pattern_intact = true;
  std::string trailer;
  std::error_code end;
};

asio::awaitable<ReadOutcome> read_pattern(ReadHalf& half, std::size_t total) {
  ReadOutcome outcome;
  std::vector<std::uint8_t> buffer(10000);
  for (;;) {
    auto [ec, n] = co_await half.read_some(asio::buffer(buffer));
    if (ec) {
      outcome.end = ec;
      co_return outcome;
    }
    for (std::size_t i = 0; i < n; ++i) {
      std::size_t index = outcome.pattern_bytes;
      if (index < total) {
        if (buffer[i] != pattern_byte(index)) outcome.pattern_intact = false;
        ++outcome.pattern_bytes;
      } else {
        outcome.trailer.push_back(static_cast<char>(buffer[i]));
      }
    }
  }
}

// Runs the task on an io_context with four threads.
template <class T>
T run_on_four_threads(std::function<asio::awaitable<T>()> task) {
  asio::io_context io(4);
  auto guard = asio::make_work_guard(io);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back([&io] { io.run(); });
  auto future = asio::co_spawn(io, task(), asio::use_future);
  bool ready = future.wait_for(60s) == std::future_status::ready;
  guard.reset();
  if (!ready) io.stop();
  for (auto& thread : threads) thread.join();
  if (!ready) throw std::runtime_error("test task timed out");
  return future.get();
}

TEST(TlsStream, RelaysBothDirectionsConcurrentlyAndHalfCloses) {
  constexpr std::size_t TOTAL = 6 * 1024 * 1024;
  EchoServer server(pki().self_signed, "after your close notice");
  auto port = server.port();
  auto [written, read] = run_on_four_threads<std::pair<std::error_code, ReadOutcome>>(
      [port]() -> asio::awaitable<std::pair<std::error_code, ReadOutcome>> {
        auto connection = co_await connect_tls(port, gateway_tls_config(), "localhost");
        if (!connection) throw std::runtime_error(connection.error().message);
        auto read_half = std::move(connection.value().halves.read);
        auto [written, read] =
            co_await (write_pattern(std::move(connection.value().halves.write), TOTAL) &&
                      read_pattern(*read_half, TOTAL));
        co_return std::pair{written, read};
      });
  EXPECT_FALSE(written) << written.message();
  EXPECT_EQ(read.pattern_bytes, TOTAL);
  EXPECT_TRUE(read.pattern_intact);
  EXPECT_EQ(read.trailer, "after your close notice");
  EXPECT_EQ(read.end, asio::error::eof) << read.end.message();
  std::size_t received = 0;
  EXPECT_EQ(server.finish(received), asio::error::eof);
  EXPECT_EQ(received, TOTAL);
}

TEST(TlsStream, ReleasingTheWriteHalfSendsTheCloseNoticeAndReadingGoesOn) {
  EchoServer server(pki().self_signed, "trailer");
  auto port = server.port();
  auto read = run_on_four_threads<ReadOutcome>([port]() -> asio::awaitable<ReadOutcome> {
    auto connection = co_await connect_tls(port, gateway_tls_config(), "localhost");
    if (!connection) throw std::runtime_error(connection.error().message);
    auto read_half = std::move(connection.value().halves.read);
    std::uint8_t first[3] = {pattern_byte(0), pattern_byte(1), pattern_byte(2)};
    auto ec = co_await write_all(*connection.value().halves.write, first);
    if (ec) throw std::system_error(ec);
    connection.value().halves.write.reset();
    co_return co_await read_pattern(*read_half, 3);
  });
  EXPECT_EQ(read.pattern_bytes, 3u);
  EXPECT_TRUE(read.pattern_intact);
  EXPECT_EQ(read.trailer, "trailer");
  EXPECT_EQ(read.end, asio::error::eof);
  std::size_t received = 0;
  EXPECT_EQ(server.finish(received), asio::error::eof);  // a close notice, not a cut connection
}

TEST(TlsStream, APeerClosingWithoutCloseNoticeIsEndOfInput) {
  asio::io_context io;
  auto acceptor = loopback_acceptor(io);
  auto ctx = server_context(pki().self_signed);
  auto port = acceptor.local_endpoint().port();
  auto read =
      test::run_async(io, [&]() -> asio::awaitable<std::pair<std::string, std::error_code>> {
        // The server's stream is dropped after the greeting: TCP closes, no close notice.
        auto [server_ec, client] = co_await (serve_greeting(acceptor, *ctx, "bye") &&
                                             connect_tls(port, gateway_tls_config(), "localhost"));
        if (!client) throw std::runtime_error(client.error().message);
        std::string text = co_await read_exactly(*client.value().halves.read, 3);
        std::vector<char> more(16);
        auto [ec, n] = co_await client.value().halves.read->read_some(asio::buffer(more));
        co_return std::pair{text, ec};
      }());
  EXPECT_EQ(read.first, "bye");
  EXPECT_EQ(read.second, asio::error::eof) << read.second.message();
}

// An error some other code left in the thread's error queue changes nothing: the bytes
// are read, and the end is still the end, not that error.
TEST(TlsStream, AnErrorLeftOnTheThreadChangesNeitherReadsNorTheEnd) {
  asio::io_context io;
  auto acceptor = loopback_acceptor(io);
  auto ctx = server_context(pki().self_signed);
  auto port = acceptor.local_endpoint().port();
  auto leave_an_error = [] { ERR_raise(ERR_LIB_SSL, SSL_R_BAD_LENGTH); };
  auto read =
      test::run_async(io, [&]() -> asio::awaitable<std::pair<std::string, std::error_code>> {
        auto [server_ec, client] = co_await (serve_greeting(acceptor, *ctx, "bye") &&
                                             connect_tls(port, gateway_tls_config(), "localhost"));
        if (!client) throw std::runtime_error(client.error().message);
        leave_an_error();
        std::string text = co_await read_exactly(*client.value().halves.read, 3);
        leave_an_error();
        std::vector<char> more(16);
        auto [ec, n] = co_await client.value().halves.read->read_some(asio::buffer(more));
        co_return std::pair{text, ec};
      }());
  ERR_clear_error();
  EXPECT_EQ(read.first, "bye");
  EXPECT_EQ(read.second, asio::error::eof) << read.second.message();
}

// The relay of the front-door fallback: a TCP connection joined with a TLS one. The TCP
// side's end becomes a close notice, and the TLS side's close notice an end of input.
TEST(PipeStreams, JoinsATcpConnectionWithATlsConnection) {
  EchoServer server(pki().self_signed, " and goodbye");
  auto port = server.port();
  auto text = run_on_four_threads<std::string>([port]() -> asio::awaitable<std::string> {
    auto executor = co_await asio::this_coro::executor;
    tcp::acceptor acceptor(executor, {asio::ip::address_v4::loopback(), 0});
    tcp::socket a_peer(executor);
    auto [connect_ec] = co_await a_peer.async_connect(acceptor.local_endpoint(), use_tuple);
    auto accepted = co_await acceptor.async_accept(use_tuple);
    if (connect_ec || std::get<0>(accepted)) throw std::runtime_error("no loopback pair");
    tcp::socket a_end = std::move(std::get<1>(accepted));
    auto connection = co_await connect_tls(port, gateway_tls_config(), "localhost");
    if (!connection) throw std::runtime_error(connection.error().message);

    auto relay = [&]() -> asio::awaitable<void> {
      co_await pipe_streams(split_tcp(std::move(a_end)), std::move(connection.value().halves));
    };
    auto talk = [&]() -> asio::awaitable<std::string> {
      co_await asio::async_write(a_peer, asio::buffer(std::string_view("through tls")), use_tuple);
      a_peer.shutdown(tcp::socket::shutdown_send);
      std::string all;
      std::array<char, 1024> buffer;
      for (;;) {
        auto [ec, n] = co_await a_peer.async_read_some(asio::buffer(buffer), use_tuple);
        all.append(buffer.data(), n);
        if (ec) {
          if (ec != asio::error::eof) all += " [" + ec.message() + "]";
          co_return all;
        }
      }
    };
    co_return co_await (relay() && talk());
  });
  EXPECT_EQ(text, "through tls and goodbye");
  std::size_t received = 0;
  EXPECT_EQ(server.finish(received), asio::error::eof);  // our close notice came
  EXPECT_EQ(received, 11u);
}

}  // namespace
}  // namespace quillmar
