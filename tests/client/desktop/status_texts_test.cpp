#include "desktop/status_texts.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace quillmar {
namespace {

struct StateCase {
  const char* name;
  std::function<void(SharedState&)> set;
  std::string tray;
  std::string status_line;
};

TEST(StatusTexts, TrayTextAndStatusLineFollowTheFirstStateThatHolds) {
  const StateCase cases[] = {
      {"nothing configured", [](SharedState&) {}, "未配置接入码", "● 首次使用：请粘贴接入码"},
      {"access code, not connected yet", [](SharedState& s) { s.invite.set("CODE"); }, "正在连接…",
       "● 正在连接…"},
      {"connected over plain TCP, every configured port counted",
       [](SharedState& s) {
         s.ports.set({80, 81, 82});
         store(s.connected, 1);
       },
       "已连接 · 3 条映射", "● 已连接"},
      {"connected over TLS",
       [](SharedState& s) {
         store(s.connected, 1);
         store(s.tls_active, 1);
       },
       "已连接 · 0 条映射", "● 已连接 · 隧道已加密"},
      {"quota used up while connected: the status line has no quota case",
       [](SharedState& s) {
         store(s.quota_used, 1);
         store(s.connected, 1);
         s.invite.set("CODE");
       },
       "今日流量已用完，北京时间 00:00 恢复", "● 已连接"},
      {"a connection error wins over everything; the status line shows it bare",
       [](SharedState& s) {
         s.connection_error.set("网关拒绝");
         store(s.quota_used, 1);
         store(s.connected, 1);
       },
       "连接异常：网关拒绝", "网关拒绝"},
  };
  for (const auto& c : cases) {
    SharedState shared;
    c.set(shared);
    EXPECT_EQ(tray_status_text(shared), c.tray) << c.name;
    EXPECT_EQ(status_line_text(shared), c.status_line) << c.name;
  }
}

TEST(StatusTexts, DomainLineAndMappingRows) {
  EXPECT_EQ(domain_line_text("desk", "example.test"), "访问域名：desk.example.test");
  EXPECT_EQ(mapping_row_text(8080, false, "desk", "example.test"),
            "本机 127.0.0.1:8080 [公开]    →    https://desk-8080.example.test");
  EXPECT_EQ(mapping_row_text(22, true, "desk", "example.test"),
            "本机 127.0.0.1:22 [访问密码]    →    https://desk-22.example.test");
}

struct UrlCase {
  const char* name;
  std::vector<std::uint16_t> ports;
  std::vector<std::uint16_t> blocked;
  std::uint64_t max_mappings;
  std::optional<std::string> url;
};

TEST(AccessUrl, FirstUnblockedPortWithinThePlansMappings) {
  const UrlCase cases[] = {
      {"no mapped port", {}, {}, 1, std::nullopt},
      {"the first port", {8080, 3000}, {}, 1, "https://desk-8080.example.test"},
      {"a blocked first port uses up the only mapping", {8080, 3000}, {8080}, 1, std::nullopt},
      {"max_mappings 0 counts as 1", {8080, 3000}, {8080}, 0, std::nullopt},
      {"two mappings reach past one blocked port",
       {8080, 3000},
       {8080},
       2,
       "https://desk-3000.example.test"},
      {"every examined port blocked", {1, 2, 3}, {1, 2}, 2, std::nullopt},
      {"blocked ports that are not mapped do not count",
       {3000},
       {8080},
       1,
       "https://desk-3000.example.test"},
  };
  for (const auto& c : cases) {
    SharedState shared;
    shared.sub.set("desk");
    shared.ports.set(c.ports);
    shared.blocked_ports.set(c.blocked);
    store(shared.max_mappings, c.max_mappings);
    EXPECT_EQ(access_url(shared, "example.test"), c.url) << c.name;
  }
}

}  // namespace
}  // namespace quillmar
