#include "settings/key_file.hpp"

#include <set>
#include <system_error>

#include "app/environment.hpp"
#include "app/output.hpp"
#include "direct/records.hpp"
#include "proto/device_identity.hpp"
#include "proto/text.hpp"
#include "settings/file_io.hpp"
#include "settings/validators.hpp"

namespace quillmar {
namespace {

constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";
constexpr std::size_t MIN_TOKEN_LEN = 16;
constexpr std::size_t MAX_TOKEN_LEN = 64;
constexpr int MAX_LINK_HOPS = 40;  // as the system's own limit on nested links

std::filesystem::path beside(const std::filesystem::path& path, const char* suffix) {
  std::filesystem::path result = path;
  result += suffix;
  return result;
}

// A key file that is a symbolic link (into a synchronised folder, say) is replaced
// where the link points, so that the link itself survives the rename.
std::filesystem::path link_target(const std::filesystem::path& path) {
  std::filesystem::path target = path;
  for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
    std::error_code ec;
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(target, ec))) break;
    auto next = std::filesystem::read_symlink(target, ec);
    if (ec) break;
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
  return target;
}

std::filesystem::path backup_path(const std::filesystem::path& key_path) {
  return beside(key_path, ".bak");
}

// Keeps the old bytes of a key file that is about to be replaced, one generation deep.
Status back_up(const std::filesystem::path& key_path, std::string_view bytes) {
  auto temp = beside(backup_path(key_path), ".tmp");
  auto written = replace_file(backup_path(key_path), temp, bytes);
  if (!written) remove_file_quietly(temp);
  return written;
}

// Every load and save looks at the file again, but what keeps it from being replaced is
// told once per run. Called with the key-file lock held.
void report_once(const std::filesystem::path& key_path, const std::string& line) {
  static std::set<std::filesystem::path> reported;
  if (reported.insert(key_path).second) print_err(line);
}

// What is known of the key file before it is rewritten: its text when it could be
// read as UTF-8, and whether replacing it can lose nothing. A file that exists but
// cannot be read at all (no access, held by another program) may hold the device's
// only credential, so it is never replaced; one whose bytes are not UTF-8 is
// replaced only after its bytes went to the backup.
struct OldKeyFile {
  std::optional<std::string> text;
  bool may_replace = true;
};

OldKeyFile examine_key_file(const std::filesystem::path& key_path) {
  auto bytes = read_regular_file(key_path);
  if (bytes) {
    std::string_view content = bytes.value();
    if (content.starts_with(UTF8_BOM)) content.remove_prefix(UTF8_BOM.size());
    if (is_valid_utf8(content)) return {std::string(content), true};
    auto backed_up = back_up(key_path, bytes.value());
    if (backed_up) return {std::nullopt, true};
    report_once(key_path, "client: " + path_to_utf8(key_path) + " 不是 UTF-8 文本，先备份到 " +
                              path_to_utf8(backup_path(key_path)) + " 也没成（" +
                              backed_up.error().display() + "），所以没有覆盖它\n");
    return {std::nullopt, false};
  }
  std::error_code ec;
  auto type = std::filesystem::status(key_path, ec).type();
  // Nothing there, or a folder (writing over a folder fails by itself): nothing to lose.
  if (type == std::filesystem::file_type::not_found ||
      type == std::filesystem::file_type::directory) {
    return {std::nullopt, true};
  }
  report_once(key_path, "client: " + path_to_utf8(key_path) + " 读不了（" +
                            bytes.error().display() + "），所以没有覆盖它\n");
  return {std::nullopt, false};
}

// A value always stays on its own line: a line break inside it would smuggle in
// another setting (a second "token=" line would replace the credential).
std::string_view single_line(std::string_view value) {
  return value.substr(0, value.find_first_of("\r\n"));
}

bool is_owned_by_creds(std::string_view key) {
  return key == "token" || key == "sub" || key == "gw_pin" || key == "invite" ||
         key.starts_with("#");
}

void write_creds(const Creds& creds, const std::optional<std::string>& old_text) {
  std::error_code ignored;  // a folder that cannot be made makes the write fail below
  if (creds.key_path.has_parent_path())
    std::filesystem::create_directories(creds.key_path.parent_path(), ignored);
  // A failed write is deliberately dropped: callers go on with the record they hold,
  // and the old file stays whole.
  (void)write_key_text(creds.key_path, creds_text(creds, old_text));
}

Creds fresh_creds(std::filesystem::path key_path) {
  Creds creds;
  creds.key_path = std::move(key_path);
  creds.token = generate_token();
  return creds;
}

Creds load_creds_holding_lock(std::filesystem::path key_path) {
  auto old = examine_key_file(key_path);
  if (!old.text) {
    Creds creds = fresh_creds(std::move(key_path));
    if (old.may_replace) write_creds(creds, std::nullopt);
    return creds;
  }
  Creds creds = parse_creds(std::move(key_path), *old.text);
  if (is_valid_token(creds.token)) return creds;

  print_err("client: " + path_to_utf8(creds.key_path) +
            " 里的凭据不可用，重新生成（域名归属会退回\"先到先得\"）\n");
  creds.token = generate_token();
  write_creds(creds, old.text);
  return creds;
}

void save_creds_holding_lock(const Creds& creds) {
  auto old = examine_key_file(creds.key_path);
  if (old.may_replace) write_creds(creds, old.text);
}

}  // namespace

Creds parse_creds(std::filesystem::path key_path, std::string_view text) {
  Creds creds;
  creds.key_path = std::move(key_path);
  for (auto line : key_file_lines(text)) {
    auto eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    auto key = trim(line.substr(0, eq));
    auto value = line.substr(eq + 1);
    if (key == "token") {
      creds.token = ascii_lower(trim(value));
    } else if (key == "sub") {
      creds.sub = normalize_name(trim(value));
    } else if (key == "gw_pin") {
      creds.gw_pin = std::string(trim(value));
    } else if (key == "invite") {
      creds.invite = std::string(trim(value));
    } else if (key == "punch") {
      std::vector<std::string> refused;  // dropped without a message
      creds.punch = parse_allow_list({std::string(value)}, refused);
      creds.has_punch_line = true;
    } else if (key == "visit") {
      creds.visit = check_device_name(trim(value)).value_or("");
      creds.has_visit_line = true;
    }
  }
  return creds;
}

std::string creds_text(const Creds& creds, const std::optional<std::string>& old_text) {
  std::string text;
  auto line = [&text](std::string_view key, std::string_view value) {
    text.append(key).append("=").append(single_line(value)).append("\n");
  };
  text.append(KEY_FILE_HEADER).append("\n");
  line("token", creds.token);
  line("sub", creds.sub.value_or(""));
  if (!creds.gw_pin.empty()) line("gw_pin", creds.gw_pin);
  if (!creds.invite.empty()) line("invite", creds.invite);
  if (!old_text) {
    // The old punch and visit lines are gone with the unreadable file; the record's
    // copies take their place.
    if (!creds.punch.empty()) line("punch", join_names(creds.punch, ","));
    if (!creds.visit.empty()) line("visit", creds.visit);
    return text;
  }
  for (auto kept : key_file_lines(*old_text)) {
    if (is_owned_by_creds(line_key(kept))) continue;
    text.append(kept).append("\n");
  }
  return text;
}

bool is_valid_token(std::string_view token) {
  if (token.size() < MIN_TOKEN_LEN || token.size() > MAX_TOKEN_LEN) return false;
  for (char c : token) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::unique_lock<std::mutex> lock_key_file() {
  static std::mutex key_file_mutex;
  return std::unique_lock<std::mutex>(key_file_mutex);
}

Result<std::string> read_key_text(const std::filesystem::path& key_path) {
  auto bytes = read_regular_file(key_path);
  if (!bytes) return bytes.error();
  std::string text = std::move(bytes).value();
  if (text.starts_with(UTF8_BOM)) text.erase(0, UTF8_BOM.size());
  if (!is_valid_utf8(text))
    return IoError::make(ErrorKind::InvalidData, "stream did not contain valid UTF-8");
  return text;
}

Status write_key_text(const std::filesystem::path& key_path, std::string_view text) {
  auto target = link_target(key_path);
  auto temp = beside(target, ".tmp");
  auto written = replace_file(target, temp, text);
  // The caller still holds what was to be written; a stray copy of the credential
  // beside the file would only confuse.
  if (!written) remove_file_quietly(temp);
  return written;
}

void remove_key_file_leftovers(const std::filesystem::path& key_path) {
  auto lock = lock_key_file();
  remove_file_quietly(beside(link_target(key_path), ".tmp"));
  remove_file_quietly(beside(backup_path(key_path), ".tmp"));
}

std::vector<std::string_view> key_file_lines(std::string_view text) {
  auto lines = split_lines(text);
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

std::string_view line_key(std::string_view line) { return trim(line.substr(0, line.find('='))); }

Creds load_creds(std::filesystem::path key_path) {
  auto lock = lock_key_file();
  return load_creds_holding_lock(std::move(key_path));
}

void save_creds(const Creds& creds) {
  auto lock = lock_key_file();
  save_creds_holding_lock(creds);
}

Creds update_creds(std::filesystem::path key_path, const std::function<bool(Creds&)>& change) {
  auto lock = lock_key_file();
  Creds creds = load_creds_holding_lock(std::move(key_path));
  if (change(creds)) save_creds_holding_lock(creds);
  return creds;
}

}  // namespace quillmar
