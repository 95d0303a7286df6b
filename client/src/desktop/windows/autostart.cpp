#include "desktop/windows/autostart.hpp"

#include <windows.h>

#include <string>
#include <system_error>

#include "app/environment.hpp"
#include "desktop/windows/self_install.hpp"
#include "desktop/windows/wide_text.hpp"

namespace quillmar {
namespace {

constexpr const wchar_t* RUN_KEY = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const wchar_t* AUTOSTART_VALUE = L"Quillmar";

IoError os_error(LSTATUS code) {
  return IoError::from(std::error_code(static_cast<int>(code), std::system_category()));
}

// The Run key, opened (created when missing) for the time of one operation.
class RunKey {
 public:
  explicit RunKey(REGSAM access) {
    status_ = RegCreateKeyExW(HKEY_CURRENT_USER, RUN_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              access, nullptr, &key_, nullptr);
  }
  ~RunKey() {
    if (status_ == ERROR_SUCCESS) RegCloseKey(key_);
  }
  RunKey(const RunKey&) = delete;
  RunKey& operator=(const RunKey&) = delete;

  LSTATUS status() const { return status_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
  LSTATUS status_;
};

constexpr REGSAM WRITE_ACCESS = KEY_SET_VALUE | KEY_QUERY_VALUE;

// REG_SZ with its terminating 0 counted in the size.
Status store_value(const RunKey& key, const std::filesystem::path& program) {
  const std::wstring data = to_wide(path_to_utf8(program));
  const DWORD bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
  LSTATUS status = RegSetValueExW(key.get(), AUTOSTART_VALUE, 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(data.c_str()), bytes);
  if (status != ERROR_SUCCESS) return os_error(status);
  return {};
}

}  // namespace

Status point_autostart_at(const std::filesystem::path& program) {
  RunKey key(WRITE_ACCESS);
  if (key.status() != ERROR_SUCCESS) return os_error(key.status());
  return store_value(key, program);
}

Status set_autostart(bool enable) {
  RunKey key(WRITE_ACCESS);
  if (key.status() != ERROR_SUCCESS) return os_error(key.status());
  if (!enable) {
    RegDeleteValueW(key.get(), AUTOSTART_VALUE);  // a value that is not there is fine
    return {};
  }
  auto installed = install_self();
  if (!installed) return installed.error();
  return store_value(key, installed.value());
}

bool autostart_enabled() {
  RunKey key(KEY_QUERY_VALUE);
  if (key.status() != ERROR_SUCCESS) return false;
  DWORD size = 0;
  LSTATUS status = RegQueryValueExW(key.get(), AUTOSTART_VALUE, nullptr, nullptr, nullptr, &size);
  return status == ERROR_SUCCESS && size != 0;
}

}  // namespace quillmar
