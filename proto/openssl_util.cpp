#include "proto/openssl_util.hpp"

#include <openssl/err.h>

namespace quillmar {

std::string openssl_error_text() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown TLS library error";
  const char* reason = ERR_reason_error_string(code);
  std::string text = reason != nullptr ? reason : "error " + std::to_string(ERR_GET_REASON(code));
  if (const char* library = ERR_lib_error_string(code)) {
    text += " (";
    text += library;
    text += ")";
  }
  return text;
}

}  // namespace quillmar
