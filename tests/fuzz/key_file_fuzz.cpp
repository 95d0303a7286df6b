// The key-file reader over any file text, and the save that follows a load: the token
// and the device name survive the rewrite unchanged, so do the direct-connection lists
// and the lines of the other writers (ports, access digests, targets), and the mapping
// settings read back as valid values.
#include <set>

#include "fuzz_target.hpp"
#include "proto/text.hpp"
#include "settings/key_file.hpp"
#include "settings/saved_settings.hpp"
#include "settings/validators.hpp"

namespace quillmar::fuzz {
namespace {

constexpr std::string_view BOM = "\xEF\xBB\xBF";
constexpr std::string_view FRESH_TOKEN = "00112233445566778899aabbccddeeff";

void check_saved_settings(std::string_view text) {
  if (auto ports = saved_line_value(text, "ports")) {
    std::set<std::uint16_t> seen;
    for (auto port : parse_saved_ports(*ports)) {
      require(port != 0, "saved port 0 read back");
      require(seen.insert(port).second, "a saved port read back twice");
    }
  }
  if (auto access = saved_line_value(text, "access")) {
    for (const auto& [port, digest] : parse_saved_access(*access)) {
      require(port != 0, "an access digest for port 0");
      require(
          digest.size() == 64 && digest.find_first_not_of("0123456789abcdef") == std::string::npos,
          "an access digest that is not 64 lower-case hex digits");
    }
  }
  if (auto targets = saved_line_value(text, "targets")) {
    for (const auto& [port, host] : parse_saved_targets(*targets))
      require(is_valid_host(host), "an invalid saved target host " + quoted_form(host));
  }
}

void key_file(Input input) {
  std::string_view text = as_text(input);
  if (text.starts_with(BOM)) text.remove_prefix(BOM.size());
  // A file that is not UTF-8 is never parsed: it is backed up and replaced.
  if (!is_valid_utf8(text)) return;
  check_saved_settings(text);

  Creds creds = parse_creds("id.ini", text);
  // An unusable token is replaced before the save, the rest kept as read.
  if (!is_valid_token(creds.token)) creds.token = std::string(FRESH_TOKEN);
  const std::string saved = creds_text(creds, std::string(text));
  require(is_valid_utf8(saved), "the saved file is not UTF-8");
  require(saved.starts_with(KEY_FILE_HEADER), "the saved file does not start with its header");

  const Creds reread = parse_creds("id.ini", saved);
  require(reread.token == creds.token, "the token changed on save: " + quoted_form(reread.token));
  if (creds.sub) require(reread.sub == creds.sub, "the device name changed on save");
  require(reread.punch == creds.punch && reread.has_punch_line == creds.has_punch_line,
          "the allow list changed on save");
  require(reread.visit == creds.visit && reread.has_visit_line == creds.has_visit_line,
          "the visit target changed on save");
  // Values are kept on one line; a carriage return inside one ends it there.
  if (creds.gw_pin.find('\r') == std::string::npos)
    require(reread.gw_pin == creds.gw_pin, "the certificate pin changed on save");
  if (creds.invite.find('\r') == std::string::npos)
    require(reread.invite == creds.invite, "the invite code changed on save");
  // Readers drop one carriage return at a line's end, and so does each save.
  auto value_without_line_end = [](std::string_view file, std::string_view key) {
    auto value = saved_line_value(file, key);
    if (value) value->erase(value->find_last_not_of('\r') + 1);
    return value;
  };
  for (std::string_view key : {"ports", "access", "targets"}) {
    require(value_without_line_end(saved, key) == value_without_line_end(text, key),
            "the " + std::string(key) + " line changed on save");
  }
}

}  // namespace
}  // namespace quillmar::fuzz

QUILLMAR_FUZZ_TARGET(key_file, quillmar::fuzz::key_file)
