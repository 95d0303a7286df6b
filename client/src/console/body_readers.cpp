#include "console/body_readers.hpp"

#include <algorithm>
#include <limits>

#include "direct/records.hpp"
#include "proto/text.hpp"
#include "settings/validators.hpp"

namespace quillmar {
namespace {

constexpr std::string_view DEFAULT_TARGET_HOST = "127.0.0.1";

bool is_control(char32_t c) { return c <= 0x1F || (c >= 0x7F && c <= 0x9F); }

// Walks the code points of UTF-8 text; true when pred holds for any of them.
template <class Pred>
bool any_code_point(std::string_view text, Pred pred) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (pred(next_code_point(text, pos))) return true;
  }
  return false;
}

std::string without_white_space(std::string_view text) {
  std::string out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t start = pos;
    if (!is_unicode_space(next_code_point(text, pos))) out.append(text.substr(start, pos - start));
  }
  return out;
}

std::string quoted_key(std::string_view key) { return "\"" + std::string(key) + "\""; }

std::string_view leading_digits(std::string_view text) {
  std::size_t n = 0;
  while (n < text.size() && text[n] >= '0' && text[n] <= '9') ++n;
  return text.substr(0, n);
}

bool is_all_digits(std::string_view text) {
  return !text.empty() && leading_digits(text).size() == text.size();
}

// The parts of text between separators (any of the given characters).
std::vector<std::string> split_any(std::string_view text, std::string_view separators) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t at = text.find_first_of(separators, start);
    if (at == std::string_view::npos) {
      parts.emplace_back(text.substr(start));
      return parts;
    }
    parts.emplace_back(text.substr(start, at - start));
    start = at + 1;
  }
}

}  // namespace

BodyRead<std::string> json_string_field(std::string_view body, std::string_view key) {
  const std::string needle = quoted_key(key);
  std::size_t at = body.find(needle);
  if (at == std::string_view::npos)
    return BodyRead<std::string>::refuse("没有收到 " + std::string(key));
  std::string_view rest = body.substr(at + needle.size());
  std::size_t colon = rest.find(':');
  if (colon == std::string_view::npos) return BodyRead<std::string>::refuse("JSON 格式错误");
  rest = trim_start(rest.substr(colon + 1));
  if (rest.empty() || rest.front() != '"') return BodyRead<std::string>::refuse("JSON 格式错误");
  std::size_t close = rest.find('"', 1);
  if (close == std::string_view::npos) return BodyRead<std::string>::refuse("JSON 格式错误");
  std::string_view value = rest.substr(1, close - 1);
  if (any_code_point(value, [](char32_t c) { return c == '\\' || is_control(c); })) {
    return BodyRead<std::string>::refuse("值包含无效字符");
  }
  return std::string(value);
}

BodyRead<std::vector<std::uint16_t>> collect_ports(std::string_view body) {
  using Read = BodyRead<std::vector<std::uint16_t>>;
  constexpr std::string_view NEEDLE = "\"port\"";
  std::vector<std::uint16_t> ports;
  std::optional<std::uint32_t> out_of_range;
  std::string_view rest = body;
  while (true) {
    std::size_t at = rest.find(NEEDLE);
    if (at == std::string_view::npos) break;
    rest = rest.substr(at + NEEDLE.size());
    std::size_t colon = rest.find(':');
    if (colon == std::string_view::npos) break;
    std::string_view digits = leading_digits(trim_start(rest.substr(colon + 1)));
    if (digits.empty()) continue;  // a quoted number, a negative one, null: not a port
    auto value = parse_decimal(digits, std::numeric_limits<std::uint32_t>::max());
    if (!value) continue;  // too large for 32 bits: passed over without a word
    if (*value == 0 || *value > 65535) {
      out_of_range = static_cast<std::uint32_t>(*value);
      continue;
    }
    auto port = static_cast<std::uint16_t>(*value);
    if (std::find(ports.begin(), ports.end(), port) == ports.end()) ports.push_back(port);
  }
  if (out_of_range) return Read::refuse("端口 " + std::to_string(*out_of_range) + " 不在 1~65535");
  if (!ports.empty()) return ports;
  const std::string compact = without_white_space(body);
  if (compact == R"({"ports":[]})" || compact == R"({\"ports\":[]})") return ports;
  return Read::refuse("没解析到端口");
}

BodyRead<PortHosts> parse_targets(std::string_view body, const std::vector<std::uint16_t>& ports) {
  PortHosts targets;
  for (const auto& segment : split(body, '}')) {
    auto found = collect_ports(segment);
    if (!found.ok() || found.value().empty()) continue;
    const std::uint16_t port = found.value().front();
    if (std::find(ports.begin(), ports.end(), port) == ports.end()) continue;
    std::string host(DEFAULT_TARGET_HOST);
    if (segment.find("\"host\"") != std::string_view::npos) {
      auto field = json_string_field(segment, "host");
      if (!field.ok()) return BodyRead<PortHosts>::refuse(field.error());
      host = std::move(field).value();
    }
    host = ascii_lower(trim(host));
    if (!is_valid_host(host))
      return BodyRead<PortHosts>::refuse("目标主机 " + quoted_form(host) + " 格式有误");
    targets[port] = std::move(host);
  }
  for (auto port : ports) targets.try_emplace(port, DEFAULT_TARGET_HOST);
  return targets;
}

BodyRead<std::string> parse_invite_field(std::string_view body) {
  auto field = json_string_field(body, "invite");
  if (!field.ok()) return field;
  std::string_view code = trim(field.value());
  if (code.empty()) return BodyRead<std::string>::refuse("请输入接入码");
  constexpr std::string_view MALFORMED = "接入码格式错误，请重新复制完整接入码";
  if (code.size() > MAX_INVITE_LEN) return BodyRead<std::string>::refuse(std::string(MALFORMED));
  if (any_code_point(
          code, [](char32_t c) { return is_control(c) || c == '\\' || is_unicode_space(c); })) {
    return BodyRead<std::string>::refuse(std::string(MALFORMED));
  }
  return std::string(code);
}

BodyRead<std::string> parse_subdomain_field(std::string_view body) {
  auto field = json_string_field(body, "sub");
  if (!field.ok()) field = json_string_field(body, "subdomain");
  if (!field.ok()) return field;
  const std::string name = ascii_lower(trim(field.value()));
  if (name.empty()) return BodyRead<std::string>::refuse("请输入想要的二级域名");
  if (name.size() < MIN_WANTED_NAME_LEN || name.size() > MAX_WANTED_NAME_LEN ||
      normalize_name(name) != name) {
    return BodyRead<std::string>::refuse("域名只能用小写字母、数字和连字符，长度 2–40");
  }
  if (std::find(RESERVED_NAMES.begin(), RESERVED_NAMES.end(), name) != RESERVED_NAMES.end()) {
    return BodyRead<std::string>::refuse("这个名字已被系统保留，请换一个");
  }
  std::size_t dash = name.rfind('-');
  if (dash != std::string::npos) {
    std::string_view suffix = std::string_view(name).substr(dash + 1);
    if (is_all_digits(suffix) && parse_u16(suffix)) {
      return BodyRead<std::string>::refuse("请不要用「名字-端口」这种形式，端口会由系统自动派生");
    }
  }
  return name;
}

std::vector<std::string> parse_allow_body(std::string_view body,
                                          std::vector<std::string>& invalid) {
  std::string_view text = trim(body);
  std::size_t open = text.find('[');
  if (open == std::string_view::npos) return parse_allow_list(split_any(text, ";,"), invalid);
  std::string_view inside = text.substr(open + 1);
  std::size_t close = inside.find(']');
  if (close != std::string_view::npos) inside = inside.substr(0, close);
  auto segments = split(inside, '"');
  std::vector<std::string> quoted_texts;
  for (std::size_t i = 1; i < segments.size(); i += 2) quoted_texts.emplace_back(segments[i]);
  if (quoted_texts.empty()) return {};
  return parse_allow_list(quoted_texts, invalid);
}

std::optional<std::string> parse_visit_field(std::string_view body,
                                             std::vector<std::string>& invalid) {
  constexpr std::string_view NEEDLE = "\"visit\"";
  std::size_t at = body.find(NEEDLE);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = body.substr(at + NEEDLE.size());
  std::size_t colon = rest.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  rest = trim_start(rest.substr(colon + 1));
  if (rest.starts_with("\"\"")) return std::string();  // "visit":"" clears the target
  // Only a string value counts: with null or a number the next quote would belong to
  // the following key, and {"visit":null,"allow":[…]} would name the device "allow".
  if (!rest.starts_with('"')) return std::nullopt;
  rest.remove_prefix(1);
  std::string_view inside = trim(rest.substr(0, rest.find('"')));
  if (inside.empty()) return std::nullopt;
  if (auto name = check_device_name(inside)) return name;
  invalid.emplace_back(inside);
  return std::nullopt;
}

}  // namespace quillmar
