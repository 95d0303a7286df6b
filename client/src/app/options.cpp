#include "app/options.hpp"

#include <algorithm>

#include "app/environment.hpp"
#include "app/output.hpp"
#include "direct/records.hpp"
#include "proto/text.hpp"
#include "proto/tls_config.hpp"
#include "settings/file_io.hpp"
#include "settings/validators.hpp"

namespace quillmar {
namespace {

std::string join(const std::vector<std::string>& items, std::string_view separator) {
  std::string joined;
  for (const auto& item : items) {
    if (!joined.empty()) joined += separator;
    joined += item;
  }
  return joined;
}

// The allow list of --punch is only checked: its names are reported, never applied.
void warn_about_punch_names(const Args& args) {
  std::vector<std::string> refused;
  (void)parse_allow_list(option_values(args, "--punch"), refused);
  if (refused.empty()) return;
  print_err("client: 「允许谁直连」里有 " + std::to_string(refused.size()) +
            " 条不是合法设备名（只许小写字母、数字、-、_），已忽略：" + join(refused, "、") + "\n");
}

Result<TlsMode> tls_mode_option(const Args& args) {
  std::string text = option_value(args, "--tls").value_or("auto");
  if (text == "off") return TlsMode::TLS_OFF;
  if (text == "auto") return TlsMode::TLS_AUTO;
  if (text == "required") return TlsMode::TLS_REQUIRED;
  return IoError::make(ErrorKind::InvalidInput,
                       "--tls 只收 off / auto / required，收到 " + quoted_form(text));
}

Result<std::shared_ptr<ClientConfig>> front_door_option(const Args& args) {
  auto path = option_value(args, "--front-ca");
  if (!path) return std::shared_ptr<ClientConfig>();
  auto pem = read_text_file(path_from_utf8(*path));
  if (!pem) {
    return IoError::make(ErrorKind::Other,
                         "--front-ca " + quoted_form(*path) + " 读不了: " + pem.error().display());
  }
  return front_door_tls_config(std::string_view(pem.value()));
}

}  // namespace

std::optional<std::string> option_value(const Args& args, std::string_view name) {
  auto found = std::find(args.begin(), args.end(), name);
  if (found == args.end() || std::next(found) == args.end()) return std::nullopt;
  return *std::next(found);
}

bool has_option(const Args& args, std::string_view name) {
  return std::find(args.begin(), args.end(), name) != args.end();
}

std::vector<std::string> option_values(const Args& args, std::string_view name) {
  std::vector<std::string> values;
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] != name) continue;
    const std::string& value = args[i + 1];
    // A following option is no value; it is examined in turn by the next step.
    if (value.size() >= 2 && value.starts_with("--")) continue;
    values.push_back(value);
  }
  return values;
}

std::optional<std::uint16_t> parse_port_number(std::string_view text) { return parse_u16(text); }

std::uint16_t console_port_option(const Args& args) {
  auto value = option_value(args, "--ui");
  if (!value) return DEFAULT_CONSOLE_PORT;
  return parse_port_number(*value).value_or(DEFAULT_CONSOLE_PORT);
}

Result<ClientOptions> read_options(const Args& args) {
  ClientOptions options;
  options.console_port = console_port_option(args);
  if (auto gateway = option_value(args, "--gw")) options.gateway = *gateway;
  if (auto domain = option_value(args, "--domain")) options.domain = *domain;
  if (auto sub = option_value(args, "--sub")) options.sub = normalize_name(*sub);
  options.auto_rename = has_option(args, "--auto-rename");
  for (const auto& value : option_values(args, "--http")) {
    if (auto port = parse_port_number(value)) options.http_ports.push_back(*port);
  }
  (void)has_option(args, "--product-mode");  // accepted; changes nothing
  warn_about_punch_names(args);
  (void)option_value(args, "--visit");  // accepted; the visit target starts empty
  if (auto entry = option_value(args, "--on"))
    options.entry_port = parse_port_number(*entry).value_or(0);

  auto tls_mode = tls_mode_option(args);
  if (!tls_mode) return tls_mode.error();
  options.tls_mode = tls_mode.value();

  if (auto invite = option_value(args, "--invite")) {
    auto code = trim(*invite);
    if (!code.empty()) options.invite = std::string(code);
  }

  auto front_door = front_door_option(args);
  if (!front_door) return front_door.error();
  options.front_door_tls = std::move(front_door).value();
  return options;
}

}  // namespace quillmar
