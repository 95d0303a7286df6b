// Environment variables and paths as UTF-8: Windows keeps them as UTF-16, so they are
// read with the Win32 wide calls and converted.
#include "app/environment.hpp"

#include <cstdlib>

#include "proto/text.hpp"

#ifdef _WIN32
#include <windows.h>
#endif

namespace quillmar {

#ifdef _WIN32
std::optional<std::string> env_var(const char* name) {
  std::wstring wide_name(name, name + std::char_traits<char>::length(name));
  DWORD needed = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
  if (needed == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::string();
  }
  std::wstring value(needed, L'\0');
  DWORD length = GetEnvironmentVariableW(wide_name.c_str(), value.data(), needed);
  value.resize(length);
  int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, value.data(),
                                  static_cast<int>(value.size()), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0 && !value.empty()) return std::nullopt;
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, value.data(), static_cast<int>(value.size()),
                      out.data(), bytes, nullptr, nullptr);
  return out;
}
#else
std::optional<std::string> env_var(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || !is_valid_utf8(value)) return std::nullopt;
  return std::string(value);
}
#endif

bool env_is_set(const char* name) { return env_var(name).has_value(); }

bool debug_enabled() { return env_is_set("TUNNEL_DEBUG"); }

std::filesystem::path path_from_utf8(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::string path_to_utf8(const std::filesystem::path& path) {
#ifdef _WIN32
  // Not u8string(): it throws on an unpaired surrogate, which a Windows path may hold.
  // Without WC_ERR_INVALID_CHARS the conversion puts U+FFFD in its place.
  const std::wstring& wide = path.native();
  if (wide.empty()) return {};
  int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                   0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length,
                      nullptr, nullptr);
  return text;
#else
  return path.string();
#endif
}

}  // namespace quillmar
