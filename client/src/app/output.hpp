// Progress and error lines: one write per line, so lines of different threads never mix.
#pragma once

#include <string_view>

namespace quillmar {

void print_out(std::string_view text);
void print_err(std::string_view text);

}  // namespace quillmar
