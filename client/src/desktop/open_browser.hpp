// Opening an address in the user's browser, best effort and without waiting.
#pragma once

#include <string_view>

namespace quillmar {

// Windows: rundll32 "url.dll,FileProtocolHandler" with the address, its output and
// errors to the null device. Linux: xdg-open, detached, when a display is present and
// xdg-open is on the PATH; nothing otherwise. A failure to start is silent.
void open_browser(std::string_view url);

}  // namespace quillmar
