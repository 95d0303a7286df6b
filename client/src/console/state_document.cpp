#include "console/state_document.hpp"

#include <algorithm>
#include <chrono>
#include <map>
#include <vector>

#include "app/environment.hpp"
#include "app/output.hpp"
#include "proto/text.hpp"

namespace quillmar {
namespace {

bool removed_from_json(char32_t c) {
  return c == '"' || c == '\\' || c <= 0x1F || (c >= 0x7F && c <= 0x9F);
}

std::optional<std::uint64_t> unix_now() {
  auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  auto secs = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
  if (secs < 0) return std::nullopt;
  return static_cast<std::uint64_t>(secs);
}

const char* json_bool(bool value) { return value ? "true" : "false"; }

const char* ownership_word(std::uint64_t ownership) {
  if (ownership == OWNERSHIP_MINE) return "mine";
  if (ownership == OWNERSHIP_THEIRS) return "theirs";
  return "none";
}

template <class Key, class Value>
bool contains_key(const std::map<Key, Value>& map, Key key) {
  return map.find(key) != map.end();
}

}  // namespace

std::string json_string(std::string_view text) {
  // Texts that reach the console are UTF-8 already; anything else is made so first,
  // since a document with broken sequences would not parse at all.
  std::string valid = is_valid_utf8(text) ? std::string(text) : decode_utf8_lossy(text);
  std::string out = "\"";
  out.reserve(valid.size() + 2);
  bool removed = false;
  std::size_t pos = 0;
  while (pos < valid.size()) {
    std::size_t start = pos;
    char32_t c = next_code_point(valid, pos);
    if (removed_from_json(c)) {
      removed = true;
    } else {
      out.append(valid, start, pos - start);
    }
  }
  out += "\"";
  if (removed && debug_enabled()) {
    std::string_view kept(out);
    kept = kept.substr(1, kept.size() - 2);
    print_err("client: 已过滤非法字符 " + quoted_form(text) + " -> " + quoted_form(kept) + "\n");
  }
  return out;
}

PunchListsJson punch_lists_json(const SharedState& shared, std::optional<std::uint64_t> now_secs) {
  PunchListsJson lists;
  AllowList allow = shared.punch_allow.get();
  shared.punch_requests.with([&](const std::vector<PunchRequest>& requests) {
    for (const auto& request : requests) {
      std::uint64_t ago = 0;
      if (now_secs && *now_secs > request.at) ago = *now_secs - request.at;
      if (!lists.requests.empty()) lists.requests += ',';
      lists.requests +=
          "{\"who\":" + json_string(request.who) + ",\"ago\":" + std::to_string(ago) + "}";
    }
  });
  for (const auto& name : allow) {
    if (!lists.allow.empty()) lists.allow += ',';
    lists.allow += json_string(name);
  }
  lists.visit = json_string(shared.punch_visit.get());
  return lists;
}

PunchListsJson punch_lists_json(const SharedState& shared) {
  return punch_lists_json(shared, unix_now());
}

std::string upgrade_url(std::string_view device_id) {
  return std::string("https://") + QUILLMAR_SITE_HOST + "/?device_id=" + std::string(device_id) +
         "#plans";
}

std::string render_state_json(const SharedState& shared, std::string_view domain,
                              std::string_view gateway, std::optional<std::uint64_t> now_secs) {
  const std::string sub = shared.sub.get();
  const auto blocked = shared.blocked_ports.get();
  const auto access = shared.access.get();
  const auto targets = shared.targets.get();

  std::string items;
  shared.ports.with([&](const std::vector<std::uint16_t>& ports) {
    for (std::size_t i = 0; i < ports.size(); ++i) {
      const std::uint16_t port = ports[i];
      const std::string slug = sub + "-" + std::to_string(port);
      auto target = targets.find(port);
      const std::string host = target != targets.end() ? target->second : "127.0.0.1";
      if (i != 0) items += ',';
      items += "{\"port\":" + std::to_string(port);
      items += ",\"host\":" + json_string(host);
      items += ",\"slug\":" + json_string(slug);
      items += ",\"url\":" + json_string("https://" + slug + "." + std::string(domain));
      if (std::find(blocked.begin(), blocked.end(), port) != blocked.end())
        items += ",\"blocked\":true";
      if (contains_key(access, port)) items += ",\"protected\":true";
      if (i >= load(shared.max_mappings)) items += ",\"plan_limited\":true";
      items += '}';
    }
  });

  const bool connected = load(shared.connected) != 0;
  const bool quota_used = load(shared.quota_used) != 0;
  const std::uint64_t punch = load(shared.punch_state);
  const std::string punch_note = shared.punch_note.get();
  const PunchListsJson lists = punch_lists_json(shared, now_secs);
  const std::uint64_t ownership = load(shared.ownership);
  const bool tls = load(shared.tls_active) != 0;
  const bool invite_configured =
      shared.invite.with([](const std::string& invite) { return !invite.empty(); });
  const std::string plan = shared.plan.get();
  const std::uint64_t usage_used = load(shared.usage_used);
  const std::uint64_t usage_limit = load(shared.usage_limit);
  const std::uint64_t usage_reset_at = load(shared.usage_reset_at);
  const std::uint64_t max_mappings = load(shared.max_mappings);
  const std::uint64_t plan_ends_at = load(shared.plan_ends_at);
  const std::string connection_error = shared.connection_error.get();
  const std::string base_url =
      sub.empty() ? std::string() : "https://" + sub + "." + std::string(domain);

  std::string doc;
  doc.reserve(1024 + items.size());
  doc += "{\"domain\":" + json_string(domain);
  doc += ",\"gateway\":" + json_string(gateway);
  doc += ",\"sub\":" + json_string(sub);
  doc += ",\"base_url\":" + json_string(base_url);
  doc += ",\"device_id\":" + json_string(shared.device_id);
  doc += ",\"started_at\":" + std::to_string(shared.started_at);
  doc += std::string(",\"connected\":") + json_bool(connected);
  doc += std::string(",\"tls\":") + json_bool(tls);
  doc += std::string(",\"invite_configured\":") + json_bool(invite_configured);
  doc += std::string(",\"quota_used\":") + json_bool(quota_used);
  doc += ",\"plan\":" + json_string(plan);
  doc += ",\"usage_used\":" + std::to_string(usage_used);
  doc += ",\"usage_limit\":" + std::to_string(usage_limit);
  doc += ",\"usage_reset_at\":" + std::to_string(usage_reset_at);
  doc += ",\"max_mappings\":" + std::to_string(max_mappings);
  doc += ",\"plan_ends_at\":" + std::to_string(plan_ends_at);
  doc += ",\"upgrade_url\":" + json_string(upgrade_url(shared.device_id));
  doc += ",\"connection_error\":" + json_string(connection_error);
  doc += ",\"punch\":" + std::to_string(punch);
  doc += ",\"punch_note\":" + json_string(punch_note);
  doc += std::string(",\"ownership\":\"") + ownership_word(ownership) + "\"";
  doc += ",\"ports\":[" + items + "]";
  doc += ",\"punch_allow\":[" + lists.allow + "]";
  doc += ",\"punch_requests\":[" + lists.requests + "]";
  doc += ",\"punch_visit\":" + lists.visit;
  doc += '}';
  return doc;
}

std::string render_state_json(const SharedState& shared, std::string_view domain,
                              std::string_view gateway) {
  return render_state_json(shared, domain, gateway, unix_now());
}

}  // namespace quillmar
