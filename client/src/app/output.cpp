#include "app/output.hpp"

#include <cstdio>

namespace quillmar {
namespace {

// Under the Windows GUI subsystem the standard streams exist only when redirected;
// a failed write is then expected and dropped.
void write_line(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

}  // namespace

void print_out(std::string_view text) { write_line(stdout, text); }
void print_err(std::string_view text) { write_line(stderr, text); }

}  // namespace quillmar
