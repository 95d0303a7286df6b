// The built-in trust anchors of the verifying TLS configuration: the Mozilla root set
// as Debian's ca-certificates package ships it, embedded at build time
// (cmake/EmbedRootCertificates.cmake writes the definitions).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace quillmar {

struct BuiltinRoot {
  std::string_view file_name;  // the .crt file it came from, for diagnostics
  std::span<const std::uint8_t> der;
};

std::span<const BuiltinRoot> builtin_roots();
inline std::size_t builtin_root_count() { return builtin_roots().size(); }

// The folder the certificates were read from when the program was built.
std::string_view builtin_roots_folder();

}  // namespace quillmar
