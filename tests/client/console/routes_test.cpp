// The settings routes against a real key file in a temporary folder: their replies,
// their effects on SharedState and on the file, and the reload messages they send.
#include "console/routes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "console_test_support.hpp"
#include "proto/access.hpp"

namespace quillmar {
namespace {

using test::json_reply;

constexpr const char* TOKEN_LINE = "token=0123456789abcdef0123456789abcdef";
const std::string DIGEST_1(64, '1');
const std::string DIGEST_2(64, '2');

std::vector<std::string> file_lines(const std::filesystem::path& path) {
  std::vector<std::string> lines;
  std::string text = test::read_file(path);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// The lines of the file that begin with the prefix.
std::vector<std::string> lines_with(const std::filesystem::path& path, std::string_view prefix) {
  std::vector<std::string> found;
  for (const auto& line : file_lines(path)) {
    if (line.starts_with(prefix)) found.push_back(line);
  }
  return found;
}

struct Routes {
  Routes() : Routes(std::string(TOKEN_LINE) + "\nsub=kite\n") {}
  explicit Routes(const std::string& key_text) {
    auto [reload_tx, reload_receiver] = make_queue<Signal>(0);
    auto [control_tx, control_receiver] = make_queue<SessionControl>(0);
    reload_rx.emplace(std::move(reload_receiver));
    control_rx.emplace(std::move(control_receiver));
    auto shared = std::make_shared<SharedState>();
    shared->key_path = dir.path() / "id.ini";
    shared->sub.set("kite");
    test::write_file(shared->key_path, key_text);
    ctx.emplace(RouteContext{"example.test", "gw.example.test:443", shared, std::move(reload_tx),
                             std::move(control_tx)});
  }

  SharedState& state() { return *ctx->shared; }
  const std::filesystem::path& key_path() { return ctx->shared->key_path; }
  std::string key_text() { return test::read_file(key_path()); }
  int reloads() {
    int count = 0;
    while (reload_rx->try_receive()) ++count;
    return count;
  }
  std::vector<SessionControl> controls() {
    std::vector<SessionControl> out;
    while (auto message = control_rx->try_receive()) out.push_back(std::move(*message));
    return out;
  }

  test::TempDir dir;
  std::optional<ReloadReceiver> reload_rx;
  std::optional<ControlReceiver> control_rx;
  std::optional<RouteContext> ctx;
};

TEST(RetainPorts, KeepsOnlyListedPorts) {
  struct Case {
    std::map<std::uint16_t, std::string> map;
    std::vector<std::uint16_t> ports;
    std::map<std::uint16_t, std::string> expected;
  } cases[] = {
      {{{80, "a"}, {81, "b"}, {82, "c"}}, {82, 80}, {{80, "a"}, {82, "c"}}},
      {{{80, "a"}}, {}, {}},
      {{}, {80}, {}},
      {{{80, "a"}}, {80, 80, 81}, {{80, "a"}}},
  };
  for (auto& c : cases) {
    retain_ports(c.map, c.ports);
    EXPECT_EQ(c.map, c.expected);
  }
}

TEST(PortsRoute, ReplacesTheMappingsAndDropsDigestsOfUnmappedPorts) {
  Routes r(std::string(TOKEN_LINE) + "\nsub=kite\nnote line\naccess=80=" + DIGEST_1 +
           ",82=" + DIGEST_2 + "\n");
  r.state().ports.set({80, 81, 82});
  r.state().access.set({{80, DIGEST_1}, {82, DIGEST_2}});
  r.state().targets.set({{82, "old.lan"}});

  EXPECT_EQ(handle_ports(R"({"ports":[{"port":80,"host":" NAS.lan "},{"port":81}]})", *r.ctx),
            json_reply(R"({"ok":true,"note":"已生效"})"));
  EXPECT_EQ(r.state().ports.get(), (std::vector<std::uint16_t>{80, 81}));
  EXPECT_EQ(r.state().targets.get(), (PortHosts{{80, "nas.lan"}, {81, "127.0.0.1"}}));
  EXPECT_EQ(r.state().access.get(), (PortDigests{{80, DIGEST_1}}));
  EXPECT_EQ(lines_with(r.key_path(), "ports="), std::vector<std::string>{"ports=80,81"});
  EXPECT_EQ(lines_with(r.key_path(), "targets="),
            std::vector<std::string>{"targets=80@nas.lan,81@127.0.0.1"});
  EXPECT_EQ(lines_with(r.key_path(), "access="), std::vector<std::string>{"access=80=" + DIGEST_1});
  EXPECT_EQ(lines_with(r.key_path(), "token="), std::vector<std::string>{TOKEN_LINE});
  EXPECT_EQ(lines_with(r.key_path(), "note line"), std::vector<std::string>{"note line"});
  EXPECT_EQ(r.reloads(), 1);
}

TEST(PortsRoute, EmptyListRemovesEveryMappingAndDigest) {
  Routes r;
  r.state().ports.set({80});
  r.state().access.set({{80, DIGEST_1}});
  r.state().targets.set({{80, "nas.lan"}});
  EXPECT_EQ(handle_ports("{ \"ports\" : [ ] }", *r.ctx),
            json_reply(R"({"ok":true,"note":"已生效"})"));
  EXPECT_TRUE(r.state().ports.get().empty());
  EXPECT_TRUE(r.state().access.get().empty());
  EXPECT_TRUE(r.state().targets.get().empty());
  EXPECT_EQ(lines_with(r.key_path(), "ports="), std::vector<std::string>{"ports="});
  EXPECT_EQ(lines_with(r.key_path(), "access="), std::vector<std::string>{"access="});
  EXPECT_EQ(lines_with(r.key_path(), "targets="), std::vector<std::string>{"targets="});
  EXPECT_EQ(r.reloads(), 1);
}

TEST(PortsRoute, RefusalsChangeNothing) {
  struct Case {
    const char* name;
    std::string body;
    std::string reply_body;
  } cases[] = {
      {"port out of range", R"({"ports":[{"port":80},{"port":70000}]})",
       R"({"ok":false,"error":"端口 70000 不在 1~65535"})"},
      {"no port", R"({"ports":[{"port":"80"}]})", R"({"ok":false,"error":"没解析到端口"})"},
      {"unusable host, its quotes removed in JSON", R"({"ports":[{"port":80,"host":"0.0.0.0"}]})",
       R"({"ok":false,"error":"目标主机 0.0.0.0 格式有误"})"},
      {"host with a backslash", R"({"ports":[{"port":80,"host":"a\\b"}]})",
       R"({"ok":false,"error":"值包含无效字符"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Routes r;
    r.state().ports.set({22});
    r.state().access.set({{22, DIGEST_1}});
    const std::string before = r.key_text();
    EXPECT_EQ(handle_ports(c.body, *r.ctx), json_reply(c.reply_body));
    EXPECT_EQ(r.state().ports.get(), std::vector<std::uint16_t>{22});
    EXPECT_EQ(r.state().access.get(), (PortDigests{{22, DIGEST_1}}));
    EXPECT_TRUE(r.state().targets.get().empty());
    EXPECT_EQ(r.key_text(), before);
    EXPECT_EQ(r.reloads(), 0);
  }
}

// A key file the user made read-only stays as it is: the change holds for this run,
// and each writer says why it could not save.
TEST(PortsRoute, AReadOnlyKeyFileIsLeftAsItIs) {
  Routes r;
  r.state().ports.set({80});
  const std::string before = r.key_text();
  const auto read_only = std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                         std::filesystem::perms::others_read;
  std::filesystem::permissions(r.key_path(), read_only);

  testing::internal::CaptureStderr();
  EXPECT_EQ(handle_ports(R"({"ports":[{"port":81}]})", *r.ctx),
            json_reply(R"({"ok":true,"note":"已生效"})"));
  const std::string err = testing::internal::GetCapturedStderr();
  const auto mode = std::filesystem::status(r.key_path()).permissions();
  std::filesystem::permissions(r.key_path(), std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);

#ifdef _WIN32
  const std::error_code denied(5, std::system_category());  // ERROR_ACCESS_DENIED
#else
  const std::error_code denied = std::make_error_code(std::errc::permission_denied);
#endif
  const std::string reason = IoError::from(denied).display();
  EXPECT_EQ(err, "client: 保存端口映射失败: " + reason + "\nclient: 保存目标地址失败: " + reason +
                     "\nclient: 保存访问密码失败: " + reason + "\n");
  EXPECT_EQ(r.key_text(), before);
  EXPECT_EQ(mode, read_only);
  EXPECT_FALSE(std::filesystem::exists(r.dir.path() / "id.ini.tmp"));
  EXPECT_EQ(r.state().ports.get(), std::vector<std::uint16_t>{81});
  EXPECT_EQ(r.reloads(), 1);
}
TEST(AccessRoute, SetsReplacesAndClearsOneDigest) {
  const std::string ascii_128(128, 'p');
  struct Case {
    const char* name;
    std::string body;
    std::string reply_body;
    PortDigests expected;  // starting from {8080: DIGEST_1} with 8080 and 22 mapped
  } cases[] = {
      {"128 ASCII characters accepted",
       "{\"port\":22,\"password\":\"" + ascii_128 + "\"}",
       R"({"ok":true,"note":"访问密码已更新"})",
       {{22, hash_access_password(ascii_128)}, {8080, DIGEST_1}}},
      {"older digest replaced, password not trimmed",
       R"({"port":8080,"password":" pw "})",
       R"({"ok":true,"note":"访问密码已更新"})",
       {{8080, hash_access_password(" pw ")}}},
      {"empty password clears",
       R"({"port":8080,"password":""})",
       R"({"ok":true,"note":"访问密码已更新"})",
       {}},
      {"clearing a port without digest",
       R"({"port":22,"password":""})",
       R"({"ok":true,"note":"访问密码已更新"})",
       {{8080, DIGEST_1}}},
      {"first port counts",
       R"({"port":22,"password":"x","other":{"port":8080}})",
       R"({"ok":true,"note":"访问密码已更新"})",
       {{22, hash_access_password("x")}, {8080, DIGEST_1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Routes r;
    r.state().ports.set({8080, 22});
    r.state().access.set({{8080, DIGEST_1}});
    EXPECT_EQ(handle_access(c.body, *r.ctx), json_reply(c.reply_body));
    EXPECT_EQ(r.state().access.get(), c.expected);
    std::string line = "access=";
    for (const auto& [port, digest] : c.expected) {
      if (line.size() > 7) line += ',';
      line += std::to_string(port) + "=" + digest;
    }
    EXPECT_EQ(lines_with(r.key_path(), "access="), std::vector<std::string>{line});
    EXPECT_EQ(r.reloads(), 1);
  }
}

TEST(AccessRoute, Refusals) {
  std::string chinese_129;
  for (int i = 0; i < 43; ++i) chinese_129 += "密";  // 43 three-byte characters
  struct Case {
    const char* name;
    std::string body;
    std::string reply_body;
  } cases[] = {
      {"unmapped port", R"({"port":9,"password":"x"})",
       R"({"ok":false,"error":"该端口尚未添加映射"})"},
      {"129 bytes", "{\"port\":8080,\"password\":\"" + chinese_129 + "\"}",
       R"({"ok":false,"error":"访问密码最长 128 个字符"})"},
      {"password key missing comes first", R"({"nothing":1})",
       R"({"ok":false,"error":"没有收到 password"})"},
      {"password key missing with a port", R"({"port":8080})",
       R"({"ok":false,"error":"没有收到 password"})"},
      {"password with a backslash", R"({"port":8080,"password":"a\\b"})",
       R"({"ok":false,"error":"值包含无效字符"})"},
      {"no port", R"({"password":"x"})", R"({"ok":false,"error":"缺少有效端口"})"},
      {"port out of range", R"({"port":70000,"password":"x"})",
       R"({"ok":false,"error":"缺少有效端口"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Routes r;
    r.state().ports.set({8080});
    r.state().access.set({{8080, DIGEST_1}});
    const std::string before = r.key_text();
    EXPECT_EQ(handle_access(c.body, *r.ctx), json_reply(c.reply_body));
    EXPECT_EQ(r.state().access.get(), (PortDigests{{8080, DIGEST_1}}));
    EXPECT_EQ(r.key_text(), before);
    EXPECT_EQ(r.reloads(), 0);
  }
}

// Password and mapping changes from several connections at once, served by several
// threads: each is acknowledged with exactly one reload, and the key file's access line
// ends up holding exactly the digests SharedState holds, because the access lock covers
// the file write.
TEST(AccessRoute, ConcurrentChangesLeaveTheFileAndTheStateAlike) {
  test::TempDir dir;
  auto shared = std::make_shared<SharedState>();
  shared->key_path = dir.path() / "id.ini";
  test::write_file(shared->key_path, std::string(TOKEN_LINE) + "\n");
  const std::vector<std::uint16_t> ports = {81, 82, 83, 84};
  shared->ports.set(ports);
  test::LiveConsole console(shared, 4);
  const std::string mappings =
      R"({"ports":[{"port":81},{"port":82,"host":"nas.lan"},{"port":83},{"port":84}]})";
  constexpr int CLIENTS = 4;
  constexpr int PER_CLIENT = 15;
  std::atomic<int> acknowledged{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < CLIENTS; ++c) {
    clients.emplace_back([&, c] {
      for (int i = 0; i < PER_CLIENT; ++i) {
        std::string path = "/api/access";
        std::string body;
        std::string note = "访问密码已更新";
        if (i % 5 == 4) {
          path = "/api/ports";
          body = mappings;
          note = "已生效";
        } else {
          const std::string password = i % 3 == 0 ? "" : "pw-" + std::to_string(c * 100 + i);
          body = "{\"port\":" + std::to_string(ports[(c + i) % ports.size()]) + ",\"password\":\"" +
                 password + "\"}";
        }
        const std::string host = "127.0.0.1:" + std::to_string(console.port);
        const std::string reply = console.exchange(
            "POST " + path + " HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
            "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
        if (reply == json_reply(R"({"ok":true,"note":")" + note + "\"}")) ++acknowledged;
      }
    });
  }
  for (auto& client : clients) client.join();
  EXPECT_EQ(acknowledged.load(), CLIENTS * PER_CLIENT);
  EXPECT_EQ(console.take_reloads(), CLIENTS * PER_CLIENT);
  std::string line = "access=";
  for (const auto& [port, digest] : shared->access.get()) {
    if (line.size() > 7) line += ',';
    line += std::to_string(port) + "=" + digest;
  }
  EXPECT_EQ(lines_with(shared->key_path, "access="), std::vector<std::string>{line});
  EXPECT_EQ(shared->ports.get(), ports);
  EXPECT_EQ(lines_with(shared->key_path, "token="), std::vector<std::string>{TOKEN_LINE});
}

TEST(InviteRoute, StoresTheCode) {
  Routes r;
  EXPECT_EQ(handle_invite(R"({"invite":" ABC-123 "})", *r.ctx),
            json_reply(R"({"ok":true,"note":"接入码已保存，正在连接"})"));
  EXPECT_EQ(r.state().invite.get(), "ABC-123");
  EXPECT_EQ(file_lines(r.key_path()).back(), "invite=ABC-123");
  EXPECT_EQ(r.reloads(), 1);
}

TEST(InviteRoute, RefusalsKeepTheOldCode) {
  struct Case {
    const char* name;
    std::string key_text;
    std::string body;
    std::string reply_body;
  } cases[] = {
      {"key file without a token line", "sub=kite\n", R"({"invite":"NEW"})",
       R"({"ok":false,"error":"保存接入码失败: 设备凭据尚未初始化"})"},
      {"empty code", std::string(TOKEN_LINE) + "\n", R"({"invite":" "})",
       R"({"ok":false,"error":"请输入接入码"})"},
      {"inner blank", std::string(TOKEN_LINE) + "\n", R"({"invite":"A B"})",
       R"({"ok":false,"error":"接入码格式错误，请重新复制完整接入码"})"},
      {"no key", std::string(TOKEN_LINE) + "\n", R"({})",
       R"({"ok":false,"error":"没有收到 invite"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Routes r(c.key_text);
    r.state().invite.set("OLD");
    EXPECT_EQ(handle_invite(c.body, *r.ctx), json_reply(c.reply_body));
    EXPECT_EQ(r.state().invite.get(), "OLD");
    EXPECT_EQ(r.key_text(), c.key_text);
    EXPECT_EQ(r.reloads(), 0);
  }
}

TEST(ReconnectRoute, SendsOneReloadWhateverTheBody) {
  Routes r;
  const std::string before = r.key_text();
  EXPECT_EQ(handle_reconnect(*r.ctx), json_reply(R"({"ok":true,"note":"正在刷新套餐与连接状态"})"));
  EXPECT_EQ(r.reloads(), 1);
  EXPECT_EQ(r.key_text(), before);
}

TEST(SubdomainRoute, NewNameTakesEffectAtOnce) {
  Routes r;
  r.state().connection_error.set("这个名字已被其他设备占用");
  EXPECT_EQ(handle_subdomain(R"({"sub":"Kite2"})", *r.ctx),
            json_reply(R"({"ok":true,"sub":"kite2","note":"正在切换到新域名"})"));
  EXPECT_EQ(r.state().sub.get(), "kite2");
  EXPECT_EQ(r.state().connection_error.get(), "");
  EXPECT_EQ(lines_with(r.key_path(), "sub="), std::vector<std::string>{"sub=kite2"});
  EXPECT_EQ(lines_with(r.key_path(), "token="), std::vector<std::string>{TOKEN_LINE});
  EXPECT_EQ(r.reloads(), 1);
}

TEST(SubdomainRoute, SameNameOrRefusalChangesNothing) {
  struct Case {
    const char* name;
    std::string body;
    std::string reply_body;
  } cases[] = {
      {"the current name", R"({"subdomain":"KITE"})", R"({"ok":true,"note":"域名未变化"})"},
      {"reserved", R"({"sub":"admin"})",
       R"({"ok":false,"error":"这个名字已被系统保留，请换一个"})"},
      {"name-port form", R"({"sub":"kite-8080"})",
       R"({"ok":false,"error":"请不要用「名字-端口」这种形式，端口会由系统自动派生"})"},
      {"empty", R"({"sub":""})", R"({"ok":false,"error":"请输入想要的二级域名"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Routes r;
    r.state().connection_error.set("kept");
    const std::string before = r.key_text();
    EXPECT_EQ(handle_subdomain(c.body, *r.ctx), json_reply(c.reply_body));
    EXPECT_EQ(r.state().sub.get(), "kite");
    EXPECT_EQ(r.state().connection_error.get(), "kept");
    EXPECT_EQ(r.key_text(), before);
    EXPECT_EQ(r.reloads(), 0);
  }
}

TEST(TrustResetRoute, ForgetsThePin) {
  Routes r(std::string(TOKEN_LINE) + "\nsub=kite\ngw_pin=" + std::string(64, 'e') + "\nports=80\n");
  r.state().connection_error.set("网关证书已变化");
  EXPECT_EQ(handle_trust_reset(*r.ctx),
            json_reply(R"({"ok":true,"note":"网关证书信任已更新，正在重新连接"})"));
  EXPECT_TRUE(lines_with(r.key_path(), "gw_pin").empty());
  EXPECT_EQ(lines_with(r.key_path(), "token="), std::vector<std::string>{TOKEN_LINE});
  EXPECT_EQ(lines_with(r.key_path(), "ports="), std::vector<std::string>{"ports=80"});
  EXPECT_EQ(r.state().connection_error.get(), "");
  EXPECT_EQ(r.reloads(), 1);
}

TEST(TrustResetRoute, RewritesAFileWithoutPinAllTheSame) {
  Routes r(std::string(TOKEN_LINE) + "\nsub=kite\n");
  EXPECT_EQ(handle_trust_reset(*r.ctx),
            json_reply(R"({"ok":true,"note":"网关证书信任已更新，正在重新连接"})"));
  // The credential writer puts its header line first.
  EXPECT_EQ(file_lines(r.key_path()).front(),
            "# Quillmar 设备凭据。删掉本文件 = 换一台新设备（原域名将不再归你）。");
  EXPECT_EQ(r.reloads(), 1);
}

TEST(PunchRoute, AnswersNotFoundWhileTheApiIsOff) {
  Routes r;
  ASSERT_TRUE(r.state().punch_api_off);
  for (const char* method : {"GET", "POST"}) {
    SCOPED_TRACE(method);
    const std::string before = r.key_text();
    EXPECT_EQ(handle_punch(method, R"({"visit":"kite","allow":["a"]})", *r.ctx), test::NOT_FOUND);
    EXPECT_EQ(r.state().punch_visit.get(), "");
    EXPECT_TRUE(r.state().punch_allow.get().empty());
    EXPECT_EQ(r.key_text(), before);
    EXPECT_TRUE(r.controls().empty());
    EXPECT_EQ(r.reloads(), 0);
  }
}

TEST(PunchRoute, ListsWhenTheApiIsOn) {
  Routes r;
  r.state().punch_api_off = false;
  EXPECT_EQ(handle_punch("GET", "", *r.ctx),
            json_reply(R"({"allow":[],"requests":[],"visit":"","connected":false})"));
  r.state().punch_allow.set({"a", "b"});
  r.state().punch_visit.set("peer");
  store(r.state().connected, 1);
  EXPECT_EQ(handle_punch("GET", "", *r.ctx),
            json_reply(R"({"allow":["a","b"],"requests":[],"visit":"peer","connected":true})"));
}

TEST(PunchRoute, ChangesInPlaceWhenTheApiIsOn) {
  Routes r;
  r.state().punch_api_off = false;
  EXPECT_EQ(
      handle_punch("POST", R"({"visit":"Peer","allow":["a","B ","bad name"]})", *r.ctx),
      json_reply(
          R"({"ok":true,"allow":["a","b"],"visit":"peer",)"
          R"("note":"有 1 条不是合法设备名（只许小写字母、数字、-、_），已忽略：bad name"})"));
  EXPECT_EQ(r.state().punch_visit.get(), "peer");
  EXPECT_EQ(r.state().punch_allow.get(), (AllowList{"a", "b"}));
  EXPECT_EQ(lines_with(r.key_path(), "punch="), std::vector<std::string>{"punch=a,b"});
  EXPECT_EQ(lines_with(r.key_path(), "visit="), std::vector<std::string>{"visit=peer"});
  auto controls = r.controls();
  ASSERT_EQ(controls.size(), 2u);
  EXPECT_EQ(controls[0].tag, SessionControl::Tag::CONTROL_VISIT);
  EXPECT_EQ(controls[0].visit, "peer");
  EXPECT_EQ(controls[1].tag, SessionControl::Tag::CONTROL_ALLOW_LIST);
  EXPECT_EQ(controls[1].allow, (AllowList{"a", "b"}));
  EXPECT_EQ(r.reloads(), 0);
}

TEST(PunchRoute, Notes) {
  struct Case {
    const char* name;
    std::string body;
    bool session_gone;
    std::string note;
  } cases[] = {
      {"nothing to change", R"({"x":1})", false, "没收到要改的内容（allow 或 visit）"},
      {"applied", R"({"visit":""})", false, "已生效（不用重连，网关当场重算配对）"},
      {"session gone", R"({"allow":["a"]})", true, "已保存，连上网关后自动生效"},
      {"two refused names", R"({"allow":["x y","z z"]})", false,
       "有 2 条不是合法设备名（只许小写字母、数字、-、_），已忽略：x y、z z"},
      {"refused visit target", R"({"visit":"no way"})", false,
       "有 1 条不是合法设备名（只许小写字母、数字、-、_），已忽略：no way"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Routes r;
    r.state().punch_api_off = false;
    if (c.session_gone) r.control_rx.reset();
    const std::string reply = handle_punch("POST", c.body, *r.ctx);
    EXPECT_NE(reply.find(",\"note\":\"" + c.note + "\"}"), std::string::npos) << reply;
    EXPECT_EQ(r.reloads(), 0);
  }
}

}  // namespace
}  // namespace quillmar
