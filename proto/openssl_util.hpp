// Small helpers over OpenSSL's C interface: owning pointers and the error queue.
#pragma once

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/x509.h>
#include <memory>
#include <string>

namespace quillmar {

struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct OpenSslFree {
  void operator()(void* p) const { OPENSSL_free(p); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using BioPtr = std::unique_ptr<BIO, BioFree>;
template <class T>
using OpenSslPtr = std::unique_ptr<T, OpenSslFree>;

// The oldest error of this thread's OpenSSL error queue as "reason (library)" — the
// form Asio gives TLS errors — and clears the queue. The oldest entry names the
// cause; the later ones only say where it passed through.
std::string openssl_error_text();

}  // namespace quillmar
