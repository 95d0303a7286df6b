#pragma once

#include <windows.h>

#include <string_view>

namespace quillmar {

// Replaces the clipboard's content with the text as CF_UNICODETEXT. Best effort: a
// clipboard that cannot be opened is left alone; one whose memory cannot be had is left
// empty.
void copy_to_clipboard(HWND window, std::string_view text);

}  // namespace quillmar
