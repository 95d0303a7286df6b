#include "desktop/windows/wide_text.hpp"

namespace quillmar {

std::wstring to_wide(std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(units > 0 ? units : 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), units);
  return wide;
}

std::string from_wide(std::wstring_view text) {
  if (text.empty()) return {};
  // Without WC_ERR_INVALID_CHARS an unpaired surrogate becomes U+FFFD.
  const int size = static_cast<int>(text.size());
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), bytes, nullptr, nullptr);
  return narrow;
}

bool is_valid_utf16(std::wstring_view text) {
  return text.empty() ||
         WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(),
                             static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr) > 0;
}

std::string get_window_text(HWND window) {
  int length = GetWindowTextLengthW(window);
  if (length < 0) length = 0;
  std::wstring buffer(static_cast<std::size_t>(length) + 1, L'\0');
  int read = GetWindowTextW(window, buffer.data(), length + 1);
  if (read < 0) read = 0;
  buffer.resize(static_cast<std::size_t>(read));
  return from_wide(buffer);
}

void set_window_text(HWND window, std::string_view text) {
  SetWindowTextW(window, to_wide(text).c_str());
}

}  // namespace quillmar
