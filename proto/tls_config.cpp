#include "proto/tls_config.hpp"

#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <asio/ssl/context.hpp>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "proto/builtin_roots.hpp"
#include "proto/openssl_util.hpp"

namespace quillmar {
namespace {

// The program never reads OpenSSL's configuration file. On Windows its folder is a
// build-time path that any local user may be able to create, and a configuration
// can load modules into the process; on Linux it would only make the settings here
// depend on the machine. Runs before main, ahead of every other use of OpenSSL.
[[maybe_unused]] const bool OPENSSL_WITHOUT_CONFIG =
    OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) == 1;

// The accept-all certificate verifier ("NoVerify"): the gateway's certificate is
// judged by the caller's pin alone. OpenSSL still checks the handshake signature
// against the presented certificate, so a pinned certificate cannot be replayed
// without its private key.
int no_verify(int /*preverified*/, X509_STORE_CTX* /*store*/) { return 1; }

// rsa_pkcs1_sha256/384/512, rsa_pss_rsae_sha256/384/512, ecdsa_secp256r1_sha256,
// ecdsa_secp384r1_sha384, ed25519: in this order.
constexpr const char* GATEWAY_SIGNATURE_SCHEMES =
    "RSA+SHA256:RSA+SHA384:RSA+SHA512:rsa_pss_rsae_sha256:rsa_pss_rsae_sha384:"
    "rsa_pss_rsae_sha512:ECDSA+SHA256:ECDSA+SHA384:ed25519";

constexpr std::string_view NO_CERTIFICATE_MESSAGE = "--front-ca 的 PEM 里没有证书";

IoError invalid_data(std::string message) {
  return IoError::make(ErrorKind::InvalidData, std::move(message));
}

// A client context limited to TLS 1.2 and 1.3, everything else at the library's
// defaults (cipher suites, groups, no application protocols).
Result<std::unique_ptr<asio::ssl::context>> client_context() {
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) return invalid_data(openssl_error_text());
  auto context = std::make_unique<asio::ssl::context>(ctx);
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1) {
    return invalid_data(openssl_error_text());
  }
  return context;
}

// Reads the PEM text section by section; CERTIFICATE sections become anchors.
Result<std::vector<X509Ptr>> anchors_from_pem(std::string_view pem) {
  if (pem.size() > static_cast<std::size_t>(INT_MAX)) return invalid_data("PEM text too large");
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return invalid_data(openssl_error_text());
  std::vector<X509Ptr> anchors;
  for (;;) {
    ERR_clear_error();
    char* raw_name = nullptr;
    char* raw_header = nullptr;
    unsigned char* raw_data = nullptr;
    long length = 0;
    if (PEM_read_bio(bio.get(), &raw_name, &raw_header, &raw_data, &length) != 1) {
      // "No start line" is how the reader reports that no further section follows.
      unsigned long last = ERR_peek_last_error();
      if (ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE) break;
      return invalid_data(openssl_error_text());
    }
    OpenSslPtr<char> name(raw_name);
    OpenSslPtr<char> header(raw_header);
    OpenSslPtr<unsigned char> data(raw_data);
    if (std::strcmp(name.get(), "CERTIFICATE") != 0) continue;
    const unsigned char* cursor = data.get();
    X509Ptr cert(d2i_X509(nullptr, &cursor, length));
    if (!cert) return invalid_data(openssl_error_text());
    if (cursor != data.get() + length) return invalid_data("trailing data after certificate");
    anchors.push_back(std::move(cert));
  }
  ERR_clear_error();
  if (anchors.empty()) return invalid_data(std::string(NO_CERTIFICATE_MESSAGE));
  return anchors;
}

Result<std::vector<X509Ptr>> builtin_anchors() {
  std::vector<X509Ptr> anchors;
  for (const BuiltinRoot& root : builtin_roots()) {
    ERR_clear_error();
    const unsigned char* cursor = root.der.data();
    X509Ptr cert(d2i_X509(nullptr, &cursor, static_cast<long>(root.der.size())));
    if (!cert) return invalid_data(std::string(root.file_name) + ": " + openssl_error_text());
    anchors.push_back(std::move(cert));
  }
  return anchors;
}

// A DNS host name: dot-separated labels of 1 to 63 letters, digits, '-' and '_', none
// starting or ending with '-', the last one not all digits; at most 253 characters
// with one trailing dot allowed.
bool is_dns_name(std::string_view text) {
  if (text.empty() || text.size() > 253) return false;
  if (text.back() == '.') text.remove_suffix(1);
  if (text.empty()) return false;
  bool last_all_digits = false;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('.', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view label = text.substr(start, end - start);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
      return false;
    last_all_digits = true;
    for (char c : label) {
      bool digit = c >= '0' && c <= '9';
      bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
      if (!digit && !letter && c != '-' && c != '_') return false;
      if (!digit) last_all_digits = false;
    }
    start = end + 1;
  }
  return !last_all_digits;
}

// Four decimal octets of 1 to 3 digits, at most 255, no leading zeros.
bool is_ipv4_literal(std::string_view text) {
  int octets = 0;
  std::size_t pos = 0;
  for (;;) {
    std::size_t digits = 0;
    unsigned value = 0;
    while (pos + digits < text.size() && digits < 3 && text[pos + digits] >= '0' &&
           text[pos + digits] <= '9') {
      value = value * 10 + static_cast<unsigned>(text[pos + digits] - '0');
      ++digits;
    }
    if (digits == 0 || value > 255 || (digits > 1 && text[pos] == '0')) return false;
    pos += digits;
    if (++octets == 4) return pos == text.size();
    if (pos >= text.size() || text[pos] != '.') return false;
    ++pos;
  }
}

bool is_hex_group(std::string_view group) {
  if (group.empty() || group.size() > 4) return false;
  for (char c : group) {
    bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

// Counts the 16-bit groups of a ':'-separated run; an IPv4 tail (two groups) only
// where allowed. Returns -1 when a piece is malformed.
int count_groups(std::string_view run, bool ipv4_tail_allowed) {
  if (run.empty()) return 0;
  int groups = 0;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = run.find(':', start);
    std::string_view piece =
        run.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (end == std::string_view::npos) {
      if (ipv4_tail_allowed && piece.find('.') != std::string_view::npos) {
        return is_ipv4_literal(piece) ? groups + 2 : -1;
      }
      return is_hex_group(piece) ? groups + 1 : -1;
    }
    if (!is_hex_group(piece)) return -1;
    ++groups;
    start = end + 1;
  }
}

// Eight groups of 1 to 4 hexadecimal digits, or fewer around one "::" that stands for
// at least one zero group; a dotted IPv4 address may take the last two groups. No
// zone index, no brackets.
bool is_ipv6_literal(std::string_view text) {
  std::size_t gap = text.find("::");
  if (gap == std::string_view::npos) return count_groups(text, true) == 8;
  std::string_view head = text.substr(0, gap);
  std::string_view tail = text.substr(gap + 2);
  int head_groups = count_groups(head, false);
  int tail_groups = count_groups(tail, true);
  return head_groups >= 0 && tail_groups >= 0 && head_groups + tail_groups <= 7;
}

}  // namespace

ClientConfig::ClientConfig(std::unique_ptr<asio::ssl::context> context, bool verifies)
    : context_(std::move(context)), verifies_(verifies) {}

ClientConfig::~ClientConfig() = default;

ClientConfigPtr gateway_tls_config() {
  auto context = client_context();
  if (!context) {
    std::fputs("协议版本集是编译期常量，不可能失败\n", stderr);
    std::abort();
  }
  SSL_CTX* ctx = context.value()->native_handle();
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, no_verify);
  if (SSL_CTX_set1_sigalgs_list(ctx, GATEWAY_SIGNATURE_SCHEMES) != 1) {
    std::fputs("签名算法表是编译期常量，不可能失败\n", stderr);
    std::abort();
  }
  return std::make_shared<ClientConfig>(std::move(context).value(), false);
}

Result<ClientConfigPtr> front_door_tls_config(std::optional<std::string_view> pem) {
  auto anchors = pem ? anchors_from_pem(*pem) : builtin_anchors();
  if (!anchors) return anchors.error();
  auto context = client_context();
  if (!context) return context.error();
  SSL_CTX* ctx = context.value()->native_handle();

  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  for (const X509Ptr& anchor : anchors.value()) {
    if (X509_STORE_add_cert(store, anchor.get()) != 1) return invalid_data(openssl_error_text());
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
  // Any anchor ends a chain, also one that is not self-signed (an intermediate or
  // the server's own certificate given with --front-ca). No revocation lists.
  X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
  X509_VERIFY_PARAM_set_purpose(param, X509_PURPOSE_SSL_SERVER);
  // Names come from the subject alternative names only, and a wildcard stands for a
  // whole label, as in web-PKI practice.
  X509_VERIFY_PARAM_set_hostflags(
      param, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  ERR_clear_error();
  return std::make_shared<ClientConfig>(std::move(context).value(), true);
}

Result<ServerName> server_name_for_host(std::string_view host) {
  if (is_dns_name(host)) return ServerName{ServerName::Type::dns, std::string(host)};
  if (is_ipv4_literal(host) || is_ipv6_literal(host))
    return ServerName{ServerName::Type::ip, std::string(host)};
  return IoError::make(ErrorKind::InvalidInput, "invalid dns name");
}

}  // namespace quillmar
