// The stand-in's TLS certificates: generated self-signed ones (EC P-256, CN = the
// domain), the front door's test authority and the certificates it issues, PEM files,
// the SHA-256 fingerprint the client pins, and the server context.
#pragma once

#include <asio/ssl/context.hpp>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "proto/result.hpp"

namespace quillmar::devgw {

struct CertificatePair {
  std::string cert_pem;  // the certificate chain, the server's own first
  std::string key_pem;
};

// A fresh key and a self-signed certificate for the common name, valid from an hour
// ago for a year, with the name and "*." + the name as DNS alternative names.
Result<CertificatePair> generate_certificate(std::string_view common_name);

// A self-signed certificate authority (CA:TRUE, for signing certificates only), as
// the tests' trust anchor for the front door.
Result<CertificatePair> generate_authority(std::string_view common_name);
// A server certificate for exactly the DNS name, signed by the authority; the pair's
// certificate text holds the new certificate alone.
Result<CertificatePair> issue_certificate(const CertificatePair& authority,
                                          std::string_view dns_name);

// Both files read; an error names the file that failed.
Result<CertificatePair> load_certificate(const std::filesystem::path& cert_file,
                                         const std::filesystem::path& key_file);
// Writes one PEM text (a certificate: readable by anyone).
Status save_pem(const std::filesystem::path& file, std::string_view pem);
// Writes both files (the key readable by the owner only where the system allows).
Status save_certificate(const CertificatePair& pair, const std::filesystem::path& cert_file,
                        const std::filesystem::path& key_file);

// 64 lower-case hex digits: SHA-256 of the DER form of the first certificate.
Result<std::string> certificate_fingerprint(std::string_view cert_pem);

// A TLS 1.2/1.3 server context presenting the pair.
Result<std::shared_ptr<asio::ssl::context>> make_server_context(const CertificatePair& pair);

}  // namespace quillmar::devgw
