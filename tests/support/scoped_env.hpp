// Sets or clears an environment variable for one test and restores it afterwards.
#pragma once

#include <optional>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdlib>
#endif

namespace quillmar::test {

class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name), old_(get(name)) {
    set(name, value);
  }
  ~ScopedEnv() { set(name_.c_str(), old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
#ifdef _WIN32
  static std::wstring wide(const std::string& text) {
    int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
    return out;
  }
  static std::optional<std::string> get(const char* name) {
    std::wstring wide_name = wide(name);
    DWORD needed = GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
    if (needed == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    std::wstring value(needed, L'\0');
    value.resize(GetEnvironmentVariableW(wide_name.c_str(), value.data(), needed));
    int length = WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(value.size()),
                                     nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(value.size()), out.data(),
                        length, nullptr, nullptr);
    return out;
  }
  static void set(const char* name, const std::optional<std::string>& value) {
    SetEnvironmentVariableW(wide(name).c_str(), value ? wide(*value).c_str() : nullptr);
  }
#else
  static std::optional<std::string> get(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  }
  static void set(const char* name, const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
#endif

  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace quillmar::test
