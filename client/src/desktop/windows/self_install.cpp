#include "desktop/windows/self_install.hpp"

#include <optional>
#include <string>
#include <system_error>

#include "app/environment.hpp"
#include "desktop/shell_settings.hpp"
#include "desktop/windows/autostart.hpp"
#include "desktop/windows/shortcuts.hpp"
#include "desktop/windows/wide_text.hpp"
#include "settings/file_io.hpp"

namespace quillmar {
namespace {

constexpr std::string_view LINK_NAME = "Quillmar.lnk";

std::optional<std::wstring> final_path(const std::filesystem::path& path) {
  // No access rights asked for: enough to name the file, and never refused by a sharing
  // mode. The backup flag lets a folder be opened too.
  HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<std::wstring> result;
  DWORD needed = GetFinalPathNameByHandleW(file, nullptr, 0, FILE_NAME_NORMALIZED);
  if (needed > 0) {
    std::wstring buffer(needed, L'\0');
    DWORD length = GetFinalPathNameByHandleW(file, buffer.data(), needed, FILE_NAME_NORMALIZED);
    if (length > 0 && length < needed) {
      buffer.resize(length);
      result = std::move(buffer);
    }
  }
  CloseHandle(file);
  return result;
}

}  // namespace

Result<std::filesystem::path> known_folder(REFKNOWNFOLDERID id) {
  PWSTR raw = nullptr;
  HRESULT result = SHGetKnownFolderPath(id, 0, nullptr, &raw);
  std::optional<std::filesystem::path> folder;
  if (SUCCEEDED(result) && raw != nullptr) folder = path_from_utf8(from_wide(raw));
  CoTaskMemFree(raw);  // also owed after a failure; a null pointer is fine
  if (!folder)
    return IoError::make(ErrorKind::Other, "SHGetKnownFolderPath failed: " +
                                               std::to_string(static_cast<long>(result)));
  return *folder;
}

Result<std::filesystem::path> install_exe_path() {
  auto local = known_folder(FOLDERID_LocalAppData);
  if (!local) return local.error();
  return local.value() / "Quillmar" / "Quillmar.exe";
}

Result<std::filesystem::path> desktop_link_path() {
  auto desktop = known_folder(FOLDERID_Desktop);
  if (!desktop) return desktop.error();
  return desktop.value() / LINK_NAME;
}

bool same_file(const std::filesystem::path& a, const std::filesystem::path& b) {
  auto final_a = final_path(a);
  auto final_b = final_path(b);
  if (final_a && final_b) return std::filesystem::path(*final_a) == std::filesystem::path(*final_b);
  return a == b;
}

bool is_installed() {
  auto installed = install_exe_path();
  auto program = current_executable_path();
  return installed && program && same_file(program.value(), installed.value());
}

Status replace_by_copy(const std::filesystem::path& program,
                       const std::filesystem::path& install_exe,
                       const std::filesystem::path& pending_exe) {
  if (auto copied = copy_file_replacing(program, install_exe); !copied) return copied;
  remove_file_quietly(pending_exe);
  return {};
}

Result<std::filesystem::path> install_self() {
  auto program = current_executable_path();
  if (!program) return program.error();
  return install_program(program.value());
}

Result<std::filesystem::path> install_program(const std::filesystem::path& program) {
  auto installed = install_exe_path();
  if (!installed) return installed.error();
  const std::filesystem::path& install_exe = installed.value();
  std::error_code ec;
  std::filesystem::create_directories(install_exe.parent_path(), ec);
  if (ec) return IoError::from(ec);

  if (!same_file(program, install_exe)) {
    auto pending_exe = install_exe;
    pending_exe += ".pending";
    if (auto copied = copy_file_replacing(program, pending_exe); !copied) return copied.error();
    // A rename fails while the installed copy runs; copying over it may still work.
    if (!rename_replacing(pending_exe, install_exe)) {
      if (auto replaced = replace_by_copy(program, install_exe, pending_exe); !replaced)
        return replaced.error();
    }
  }

  auto programs = known_folder(FOLDERID_Programs);
  if (!programs) return programs.error();
  if (auto written = write_shortcut(programs.value() / LINK_NAME, install_exe); !written)
    return written.error();

  if (desktop_link_exists() || shell_ini_flag(SHELL_KEY_DESKTOP_SHORTCUT)) {
    auto desktop_link = desktop_link_path();
    if (!desktop_link) return desktop_link.error();
    if (auto written = write_shortcut(desktop_link.value(), install_exe); !written)
      return written.error();
    (void)set_shell_ini_flag(SHELL_KEY_DESKTOP_SHORTCUT, true);  // a wish, not a result
  }
  if (autostart_enabled()) {
    if (auto pointed = point_autostart_at(install_exe); !pointed) return pointed.error();
  }
  (void)set_shell_ini_flag(SHELL_KEY_OFFER_DONE, true);  // at worst the offer comes again
  return install_exe;
}

}  // namespace quillmar
