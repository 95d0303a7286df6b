#pragma once

#include <cstdint>

namespace quillmar {

// How the gateway connection is secured (--tls).
enum class TlsMode : std::uint64_t {
  TLS_OFF = 0,       // plain TCP
  TLS_AUTO = 1,      // TLS; plain only while no certificate is pinned
  TLS_REQUIRED = 2,  // TLS only
};

}  // namespace quillmar
