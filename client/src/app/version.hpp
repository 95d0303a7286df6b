#pragma once

#include <string_view>

namespace quillmar {

inline constexpr std::string_view VERSION_LINE = "Quillmar " QUILLMAR_VERSION "\n";

}  // namespace quillmar
