#include "desktop/shell_settings.hpp"

#include <system_error>

#include "proto/text.hpp"
#include "settings/file_io.hpp"
#include "settings/key_file.hpp"
#include "settings/key_location.hpp"

namespace quillmar {
namespace {

struct Setting {
  bool is_setting = false;  // the line holds an "="
  std::string_view key;
  std::string_view value;
};

Setting setting_of(std::string_view line) {
  auto eq = line.find('=');
  if (eq == std::string_view::npos) return {};
  return {true, trim(line.substr(0, eq)), trim(line.substr(eq + 1))};
}

// Any failure, bytes that are not UTF-8 included, reads as an empty file.
std::string read_settings_text(const std::filesystem::path& path) {
  auto bytes = read_regular_file(path);
  if (!bytes || !is_valid_utf8(bytes.value())) return {};
  return std::move(bytes).value();
}

}  // namespace

std::filesystem::path shell_ini_path() {
  return settings_base_dir() / SETTINGS_FOLDER_NAME / "shell.ini";
}

bool shell_ini_flag(std::string_view key) {
  std::string text = read_settings_text(shell_ini_path());
  for (auto line : key_file_lines(text)) {
    auto setting = setting_of(line);
    if (setting.is_setting && setting.key == key &&
        (setting.value == "true" || setting.value == "yes" || setting.value == "1")) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> lines_except_key(std::string_view text, std::string_view key) {
  std::vector<std::string> kept;
  for (auto line : key_file_lines(text)) {
    auto setting = setting_of(line);
    if (!setting.is_setting || setting.key != key) kept.emplace_back(line);
  }
  return kept;
}

Status set_shell_ini_flag(std::string_view key, bool value) {
  auto path = shell_ini_path();
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  if (ec) return IoError::from(ec);
  std::string text;
  for (const auto& line : lines_except_key(read_settings_text(path), key))
    text.append(line).append("\n");
  text.append(key).append(value ? "=1\n" : "=0\n");
  auto temp = path;
  temp.replace_extension("ini.tmp");
  return replace_file(path, temp, text);
}

}  // namespace quillmar
