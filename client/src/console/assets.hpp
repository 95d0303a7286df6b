// The console's page and icon, compiled into the program from client/assets.
#pragma once

#include <string_view>

namespace quillmar {

std::string_view console_page_bytes();  // console.html
std::string_view console_icon_bytes();  // favicon.png, 64x64 RGBA

}  // namespace quillmar
