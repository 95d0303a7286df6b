// Texts across the Win32 boundary: the program keeps UTF-8, Windows takes UTF-16.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace quillmar {

// UTF-8 as UTF-16, surrogate pairs above U+FFFF; c_str() gives the terminating 0 unit.
std::wstring to_wide(std::string_view text);
// UTF-16 as UTF-8, every unpaired surrogate replaced by U+FFFD.
std::string from_wide(std::wstring_view text);
// No unpaired surrogate.
bool is_valid_utf16(std::wstring_view text);

std::string get_window_text(HWND window);
void set_window_text(HWND window, std::string_view text);

}  // namespace quillmar
