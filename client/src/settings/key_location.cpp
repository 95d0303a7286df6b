#include "settings/key_location.hpp"

#include <system_error>

#include "app/environment.hpp"
#include "app/output.hpp"
#include "settings/file_io.hpp"

namespace quillmar {
namespace {

using std::filesystem::file_type;

// Of the path itself (a broken link counts as something there); file_type::none when
// the type cannot be learnt.
file_type type_of(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::symlink_status(path, ec).type();
}

bool is_plain_file(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

// Copies through a temporary file, so an interrupted copy never leaves a half file
// that the next start would take for the new key file.
bool copy_key_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  auto bytes = read_regular_file(from);
  if (!bytes) return false;
  std::filesystem::path temp = to;
  temp += ".tmp";
  if (replace_file(to, temp, bytes.value())) return true;
  remove_file_quietly(temp);
  return false;
}

}  // namespace

std::filesystem::path settings_base_dir() {
  if (auto appdata = env_var("APPDATA")) return path_from_utf8(*appdata);
#ifndef _WIN32
  if (auto config = env_var("XDG_CONFIG_HOME")) {
    auto path = path_from_utf8(*config);
    if (path.is_absolute()) return path;
  }
  if (auto home = env_var("HOME")) {
    auto path = path_from_utf8(*home);
    if (path.is_absolute()) return path / ".config";
  }
#endif
  std::error_code ec;
  auto temp = std::filesystem::temp_directory_path(ec);
  return ec ? std::filesystem::path() : temp;
}

std::filesystem::path locate_key_file() {
  if (auto dir = env_var("TUNNEL_KEY_DIR")) return path_from_utf8(*dir) / KEY_FILE_NAME;
  auto base = settings_base_dir();
  return migrate_key_dir(base / SETTINGS_FOLDER_NAME, base / OLD_SETTINGS_FOLDER_NAME);
}

std::filesystem::path migrate_key_dir(const std::filesystem::path& new_dir,
                                      const std::filesystem::path& old_dir) {
  auto new_file = new_dir / KEY_FILE_NAME;
  auto old_file = old_dir / KEY_FILE_NAME;
  auto new_type = type_of(new_file);
  // What cannot be looked at counts as absent; the move below then fails by itself
  // and the old file stays in use.
  if (new_type != file_type::not_found && new_type != file_type::none) return new_file;
  if (!is_plain_file(old_file)) return new_file;

  bool moved = type_of(new_dir) == file_type::not_found ? rename_to_new_name(old_dir, new_dir).ok()
                                                        : copy_key_file(old_file, new_file);
  // A failed move is silent: this run keeps the old file, the next start tries again.
  if (!moved) return old_file;
  print_out("client: 已把旧配置 " + path_to_utf8(old_dir) + " 迁移到 " + path_to_utf8(new_file) +
            "\n");
  return new_file;
}

}  // namespace quillmar
