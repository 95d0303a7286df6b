#include "devgw/devgw_cert.hpp"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <array>
#include <fstream>
#include <sstream>

#include "proto/text.hpp"

namespace quillmar::devgw {
namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

// The OpenSSL error queue's newest entry, or the step that failed.
IoError ssl_error(std::string_view step) {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  std::string message(step);
  if (code != 0) {
    std::array<char, 256> text{};
    ERR_error_string_n(code, text.data(), text.size());
    message += ": ";
    message += text.data();
  }
  return IoError::make(ErrorKind::Other, message);
}

std::string bio_text(BIO* bio) {
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(length));
}

bool add_extension(X509* cert, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

Result<std::string> read_whole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return IoError::make(ErrorKind::NotFound, "cannot read " + quoted_form(path.string()));
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

Status write_whole(const std::filesystem::path& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  if (!out) return IoError::make(ErrorKind::Other, "cannot write " + quoted_form(path.string()));
  return {};
}

// The stand-in's three kinds of certificate.
enum class Role {
  self_signed_server,  // the control port's own: its own issuer, no CA
  authority,           // the test CA of the front door
  issued_server,       // a front-door certificate signed by the test CA
};

Result<PkeyPtr> read_key(const std::string& pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  PkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!key) return ssl_error("reading the issuer's key");
  return key;
}

Result<X509Ptr> read_cert(const std::string& pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  X509Ptr cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  if (!cert) return ssl_error("reading the issuer's certificate");
  return cert;
}

// A fresh P-256 key and its certificate for the common name, valid from an hour ago
// for a year, signed by the issuer (or by itself without one).
Result<CertificatePair> make_certificate(const std::string& cn, const std::string& alt_names,
                                         Role role, const CertificatePair* issuer) {
  PkeyPtr key(EVP_EC_gen("P-256"));
  if (!key) return ssl_error("generating the key");
  X509Ptr cert(X509_new());
  if (!cert) return ssl_error("making the certificate");
  X509_set_version(cert.get(), 2);

  std::array<unsigned char, 16> serial{};
  if (RAND_bytes(serial.data(), static_cast<int>(serial.size())) != 1)
    return ssl_error("drawing the serial number");
  serial[0] &= 0x7F;  // a positive serial number
  BnPtr serial_bn(BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr));
  if (!serial_bn || !BN_to_ASN1_INTEGER(serial_bn.get(), X509_get_serialNumber(cert.get()))) {
    return ssl_error("setting the serial number");
  }
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60L * 60);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 24 * 60 * 60);
  if (X509_set_pubkey(cert.get(), key.get()) != 1) return ssl_error("setting the public key");

  X509_NAME* name = X509_get_subject_name(cert.get());
  if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1,
                                 0) != 1) {
    return ssl_error("setting the common name");
  }
  X509Ptr issuer_cert;
  PkeyPtr issuer_key;
  if (issuer) {
    auto read = read_cert(issuer->cert_pem);
    if (!read) return read.error();
    issuer_cert = std::move(read).value();
    auto signer = read_key(issuer->key_pem);
    if (!signer) return signer.error();
    issuer_key = std::move(signer).value();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer_cert.get()));
  } else {
    X509_set_issuer_name(cert.get(), name);
  }
  // A name that is no DNS name (an IP address, say) just goes without alternative names.
  if (!alt_names.empty() && !add_extension(cert.get(), NID_subject_alt_name, alt_names))
    ERR_clear_error();
  if (role == Role::authority) {
    add_extension(cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    add_extension(cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    add_extension(cert.get(), NID_basic_constraints, "critical,CA:FALSE");
  }
  if (role == Role::issued_server) {
    add_extension(cert.get(), NID_key_usage, "critical,digitalSignature");
    add_extension(cert.get(), NID_ext_key_usage, "serverAuth");
  }

  if (X509_sign(cert.get(), issuer_key ? issuer_key.get() : key.get(), EVP_sha256()) == 0)
    return ssl_error("signing the certificate");

  BioPtr cert_bio(BIO_new(BIO_s_mem()));
  BioPtr key_bio(BIO_new(BIO_s_mem()));
  if (!cert_bio || !key_bio || PEM_write_bio_X509(cert_bio.get(), cert.get()) != 1 ||
      PEM_write_bio_PrivateKey(key_bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
          1) {
    return ssl_error("writing the PEM texts");
  }
  return CertificatePair{bio_text(cert_bio.get()), bio_text(key_bio.get())};
}

}  // namespace

Result<CertificatePair> generate_certificate(std::string_view common_name) {
  std::string cn(common_name);
  return make_certificate(cn, "DNS:" + cn + ",DNS:*." + cn, Role::self_signed_server, nullptr);
}

Result<CertificatePair> generate_authority(std::string_view common_name) {
  return make_certificate(std::string(common_name), "", Role::authority, nullptr);
}

Result<CertificatePair> issue_certificate(const CertificatePair& authority,
                                          std::string_view dns_name) {
  std::string name(dns_name);
  return make_certificate(name, "DNS:" + name, Role::issued_server, &authority);
}

Result<CertificatePair> load_certificate(const std::filesystem::path& cert_file,
                                         const std::filesystem::path& key_file) {
  auto cert = read_whole(cert_file);
  if (!cert) return cert.error();
  auto key = read_whole(key_file);
  if (!key) return key.error();
  CertificatePair pair{std::move(cert).value(), std::move(key).value()};
  if (auto fp = certificate_fingerprint(pair.cert_pem); !fp) {
    return IoError::make(ErrorKind::InvalidData,
                         quoted_form(cert_file.string()) + " holds no PEM certificate");
  }
  return pair;
}

Status save_pem(const std::filesystem::path& file, std::string_view pem) {
  return write_whole(file, pem);
}

Status save_certificate(const CertificatePair& pair, const std::filesystem::path& cert_file,
                        const std::filesystem::path& key_file) {
  if (auto written = write_whole(key_file, pair.key_pem); !written) return written;
  std::error_code ignored;  // systems without POSIX permissions keep their defaults
  std::filesystem::permissions(
      key_file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
      std::filesystem::perm_options::replace, ignored);
  return write_whole(cert_file, pair.cert_pem);
}

Result<std::string> certificate_fingerprint(std::string_view cert_pem) {
  BioPtr bio(BIO_new_mem_buf(cert_pem.data(), static_cast<int>(cert_pem.size())));
  if (!bio) return ssl_error("reading the certificate");
  X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!cert) return ssl_error("reading the certificate");
  unsigned char* der = nullptr;
  int length = i2d_X509(cert.get(), &der);
  if (length <= 0) return ssl_error("encoding the certificate");
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int digest_length = 0;
  int ok = EVP_Digest(der, static_cast<std::size_t>(length), digest.data(), &digest_length,
                      EVP_sha256(), nullptr);
  OPENSSL_free(der);
  if (ok != 1) return ssl_error("hashing the certificate");
  return hex_lower(std::span<const std::uint8_t>(digest.data(), digest_length));
}

Result<std::shared_ptr<asio::ssl::context>> make_server_context(const CertificatePair& pair) {
  try {
    auto ctx = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    ctx->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                     asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                     asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
    ctx->use_certificate_chain(asio::buffer(pair.cert_pem));
    ctx->use_private_key(asio::buffer(pair.key_pem), asio::ssl::context::pem);
    return ctx;
  } catch (const std::system_error& e) {
    return IoError::make(ErrorKind::InvalidData,
                         std::string("the certificate or key is unusable: ") + e.what());
  }
}

}  // namespace quillmar::devgw
