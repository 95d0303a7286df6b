#include "desktop/window_commands.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "async_test.hpp"
#include "proto/access.hpp"

namespace quillmar {
namespace {

const std::string KEY_START = "# key\ntoken=0123456789abcdef0123456789abcdef\n";

// The window's world: a real key file, SharedState pointing at it and the reload
// channel's receiving end.
struct Fixture {
  test::TempDir dir;
  SharedState shared;
  std::optional<ReloadSender> reload_tx;
  std::optional<ReloadReceiver> reload_rx;

  explicit Fixture(const std::string& key_text = KEY_START) {
    shared.key_path = dir.path() / "id.ini";
    test::write_file(shared.key_path, key_text);
    auto [tx, rx] = make_queue<Signal>(0);
    reload_tx.emplace(std::move(tx));
    reload_rx.emplace(std::move(rx));
  }
  CommandOutcome run(int id, const WindowFields& fields, const std::vector<std::uint16_t>& listed) {
    return run_window_command(id, fields, listed, shared, *reload_tx);
  }
  int reloads() {
    int count = 0;
    while (reload_rx->try_receive()) ++count;
    return count;
  }
  std::string key_text() const { return test::read_file(shared.key_path); }
};

const std::string DIGEST_OLD(64, 'a');

struct CommandCase {
  const char* name;
  int id;
  WindowFields fields;
  std::vector<std::uint16_t> listed;  // the list's rows, also the initial ports
  CommandOutcome outcome;
  std::string key_after;  // what the writers appended; "" for an untouched file
  std::function<void(const SharedState&)> check = [](const SharedState&) {};
};

const CommandOutcome SAVED_INVITE{.message = "接入码已保存，正在连接…", .clear_invite = true};
const CommandOutcome BAD_INVITE{.message = "接入码格式有误，请重新复制完整接入码。"};
const CommandOutcome ADDED{
    .message = "端口映射已保存。", .clear_port = true, .clear_password = true, .refresh = true};
const CommandOutcome BAD_PORT{.message = "端口范围是 1 到 65535。"};
const CommandOutcome SELECT_FIRST{.message = "请先在列表中选择一条映射。"};
const CommandOutcome PASSWORD_SAVED{
    .message = "访问密码已保存。", .clear_password = true, .refresh = true};
const CommandOutcome MADE_PUBLIC{
    .message = "已恢复公开访问。", .clear_password = true, .refresh = true};
const CommandOutcome TOO_LONG{.message = "访问密码最长 128 个字符。"};

std::string digest_item(std::uint16_t port, std::string_view password) {
  return std::to_string(port) + "=" + hash_access_password(password);
}

std::vector<CommandCase> command_cases() {
  const std::string code_256(256, 'x');
  const std::string chinese_129 = [] {
    std::string text;
    for (int i = 0; i < 43; ++i) text += "密";
    return text;
  }();
  return {
      {"101 trims and keeps a backslash",
       ID_SAVE_INVITE,
       {.invite = " \tAB\\cd\u3000"},
       {},
       SAVED_INVITE,
       "invite=AB\\cd\n",
       [](const SharedState& s) { EXPECT_EQ(s.invite.get(), "AB\\cd"); }},
      {"101 takes 256 bytes",
       ID_SAVE_INVITE,
       {.invite = code_256},
       {},
       SAVED_INVITE,
       "invite=" + code_256 + "\n"},
      {"101 refuses 257 bytes", ID_SAVE_INVITE, {.invite = code_256 + "x"}, {}, BAD_INVITE, ""},
      {"101 refuses a blank inside", ID_SAVE_INVITE, {.invite = "AB CD"}, {}, BAD_INVITE, ""},
      {"101 refuses a no-break space inside",
       ID_SAVE_INVITE,
       {.invite = "AB\u00A0CD"},
       {},
       BAD_INVITE,
       ""},
      {"101 refuses DEL", ID_SAVE_INVITE, {.invite = "AB\x7F"}, {}, BAD_INVITE, ""},
      {"101 refuses a C1 character", ID_SAVE_INVITE, {.invite = "AB\u0090"}, {}, BAD_INVITE, ""},
      {"101 refuses an empty field", ID_SAVE_INVITE, {.invite = "  "}, {}, BAD_INVITE, ""},
      {"102 reads a leading plus",
       ID_ADD_MAPPING,
       {.port = " +80 "},
       {3000},
       ADDED,
       "ports=3000,80\n",
       [](const SharedState& s) {
         EXPECT_EQ(s.ports.get(), (std::vector<std::uint16_t>{3000, 80}));
         EXPECT_EQ(s.access.get(), (PortDigests{{3000, DIGEST_OLD}}));
       }},
      {"102 with a password stores its digest",
       ID_ADD_MAPPING,
       {.port = "22", .password = " pw "},
       {},
       ADDED,
       "ports=22\naccess=" + digest_item(22, " pw ") + "\n"},
      {"102 with a listed port keeps one entry and replaces the digest",
       ID_ADD_MAPPING,
       {.port = "80", .password = "new"},
       {80},
       ADDED,
       "ports=80\naccess=" + digest_item(80, "new") + "\n",
       [](const SharedState& s) {
         EXPECT_EQ(s.ports.get(), std::vector<std::uint16_t>{80});
         EXPECT_EQ(s.access.get().at(80), hash_access_password("new"));
       }},
      {"102 refuses 0", ID_ADD_MAPPING, {.port = "0"}, {}, BAD_PORT, ""},
      {"102 refuses 65536", ID_ADD_MAPPING, {.port = "65536"}, {}, BAD_PORT, ""},
      {"102 refuses a word", ID_ADD_MAPPING, {.port = "http"}, {}, BAD_PORT, ""},
      {"103 without a selection does nothing", ID_DELETE_MAPPING, {}, {80}, {}, ""},
      {"103 with a row past the list does nothing",
       ID_DELETE_MAPPING,
       {.selected = 1},
       {80},
       {},
       ""},
      {"103 removes the port's settings",
       ID_DELETE_MAPPING,
       {.selected = 1},
       {80, 3000},
       {.message = "已删除端口 3000 的映射。", .refresh = true},
       "ports=80\naccess=\ntargets=\n",
       [](const SharedState& s) {
         EXPECT_EQ(s.ports.get(), std::vector<std::uint16_t>{80});
         EXPECT_TRUE(s.access.get().empty());
         EXPECT_TRUE(s.targets.get().empty());
       }},
      {"103 writes only the lines that held the port",
       ID_DELETE_MAPPING,
       {.selected = 0},
       {80, 3000},
       {.message = "已删除端口 80 的映射。", .refresh = true},
       "ports=3000\n"},
      {"104 on the selected row",
       ID_SET_PASSWORD,
       {.password = "secret", .selected = 0},
       {3000},
       PASSWORD_SAVED,
       "access=" + digest_item(3000, "secret") + "\n"},
      {"104 without a selection takes the port field, 0 included",
       ID_SET_PASSWORD,
       {.port = "0", .password = "pw"},
       {},
       PASSWORD_SAVED,
       "access=\n",
       [](const SharedState& s) { EXPECT_EQ(s.access.get().at(0), hash_access_password("pw")); }},
      {"104 without a selection or a port",
       ID_SET_PASSWORD,
       {.port = "x", .password = "pw"},
       {},
       SELECT_FIRST,
       ""},
      {"104 with a row past the list",
       ID_SET_PASSWORD,
       {.password = "pw", .selected = 2},
       {80},
       SELECT_FIRST,
       ""},
      {"104 without a password",
       ID_SET_PASSWORD,
       {.selected = 0},
       {80},
       {.message = "请输入访问密码；恢复公开请点“恢复公开”。"},
       ""},
      {"104 refuses 129 bytes",
       ID_SET_PASSWORD,
       {.password = chinese_129, .selected = 0},
       {80},
       TOO_LONG,
       ""},
      {"105 refuses while the field holds 129 bytes",
       ID_MAKE_PUBLIC,
       {.password = chinese_129, .selected = 0},
       {80},
       TOO_LONG,
       ""},
      {"105 removes the digest",
       ID_MAKE_PUBLIC,
       {.selected = 1},
       {80, 3000},
       MADE_PUBLIC,
       "access=\n",
       [](const SharedState& s) { EXPECT_TRUE(s.access.get().empty()); }},
      {"105 saves also when nothing changed",
       ID_MAKE_PUBLIC,
       {.port = "80"},
       {},
       MADE_PUBLIC,
       "access=\n"},
      {"an id that is no window command", 201, {.invite = "CODE", .port = "80"}, {}, {}, ""},
  };
}

TEST(WindowCommands, ActOnTheKeyFileAndSharedStateAndAskForOneReload) {
  for (const auto& c : command_cases()) {
    Fixture f;
    f.shared.ports.set(c.listed);
    // 3000 starts with a password and a target host of its own.
    if (std::find(c.listed.begin(), c.listed.end(), 3000) != c.listed.end()) {
      f.shared.access.set({{3000, DIGEST_OLD}});
      f.shared.targets.set({{3000, "192.168.1.5"}});
    }
    const CommandOutcome outcome = f.run(c.id, c.fields, c.listed);
    EXPECT_EQ(outcome, c.outcome) << c.name << ": " << outcome.message.value_or("(no message)");
    const bool acted = c.outcome.clear_invite || c.outcome.refresh;
    EXPECT_EQ(f.reloads(), acted ? 1 : 0) << c.name;
    EXPECT_EQ(f.key_text(), KEY_START + c.key_after) << c.name;
    c.check(f.shared);
    if (!acted) {
      EXPECT_EQ(f.shared.invite.get(), "") << c.name;
      EXPECT_EQ(f.shared.ports.get(), c.listed) << c.name;
    }
  }
}

TEST(WindowCommands, AFailedInviteSaveChangesNothing) {
  Fixture f("sub=desk\n");  // no credential yet
  f.shared.invite.set("OLD");
  auto outcome = f.run(ID_SAVE_INVITE, {.invite = "NEW"}, {});
  EXPECT_EQ(outcome, (CommandOutcome{.message = "保存接入码失败：设备凭据尚未初始化"}));
  EXPECT_EQ(f.shared.invite.get(), "OLD");
  EXPECT_EQ(f.reloads(), 0);
  EXPECT_EQ(f.key_text(), "sub=desk\n");
}

TEST(WindowCommands, ASupervisorThatIsGoneIsNoFailure) {
  Fixture f;
  f.reload_rx.reset();
  EXPECT_EQ(f.run(ID_ADD_MAPPING, {.port = "80"}, {}), ADDED);
  EXPECT_EQ(f.shared.ports.get(), std::vector<std::uint16_t>{80});
}

TEST(RemovePort, RemovesEveryOccurrenceAndKeepsTheOrder) {
  std::vector<std::uint16_t> ports{80, 22, 80, 3000, 80};
  remove_port(ports, 80);
  EXPECT_EQ(ports, (std::vector<std::uint16_t>{22, 3000}));
  remove_port(ports, 9);
  EXPECT_EQ(ports, (std::vector<std::uint16_t>{22, 3000}));
}

}  // namespace
}  // namespace quillmar
