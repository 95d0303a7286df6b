// Start-up as a user sees it: command lines and key files in, exit codes, printed
// lines and the key file out. Every case runs the real program against the gateway
// stand-in.
#include <gtest/gtest.h>

#include <asio/read.hpp>
#ifdef _WIN32
#include <windows.h>
#endif

#include "app/version.hpp"
#include "e2e_support.hpp"
#include "proto/io_error.hpp"
#include "proto/text.hpp"

namespace quillmar::test {
namespace {

enum class Ends {
  ready,    // connects and prints the ready banner; then it is interrupted
  refused,  // keeps running after the gateway's refusal (the err text); then interrupted
  exits,    // ends by itself with the exit code
};

struct StartupCase {
  const char* name;
  std::string key_file_before{};  // empty: no key file
  std::vector<std::string> args{};
  Ends ends = Ends::ready;
  int exit_code = 0;
  std::vector<std::string> out_has{};  // "{key}" is the key file's path, "{ui}" the console port
  std::vector<std::string> out_lacks{};
  std::vector<std::string> err_has{};
  std::vector<std::string> err_lacks{};
  std::vector<std::string> key_has{};    // whole lines
  std::vector<std::string> key_lacks{};  // line beginnings
  bool no_key_file = false;
  std::string gateway_invite{};  // the stand-in asks for this invite code
  std::function<void(const ChildProcess&, const ClientSetup&)> more{};
  std::vector<std::pair<std::string, std::string>> env{};  // set for the client
};

std::string with_token(std::string_view lines) {
  return std::string(KEY_HEADER) + "token=" + std::string(TEST_TOKEN) + "\n" + std::string(lines);
}

std::string fill(std::string text, const ClientSetup& setup) {
  auto replace = [&](std::string_view from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
      text.replace(at, from.size(), to);
  };
  replace("{key}", path_to_utf8(setup.key_file()));
  replace("{ui}", std::to_string(setup.ui));
  replace("{dir}", path_to_utf8(setup.keys.path()));
  return text;
}

// The "Error: " line of a start-up error made by the program itself.
std::string error_line(ErrorKind kind, std::string message) {
  return "Error: " + IoError::make(kind, std::move(message)).structured() + "\n";
}

const std::string TLS_USAGE = "--tls 只收 off / auto / required，收到 ";

std::vector<StartupCase> startup_cases() {
  return {
      {.name = "first_start_makes_token_and_saves_random_name",
       .out_has = {std::string(NO_MAPPINGS_LINE), "client: 管理界面 http://127.0.0.1:{ui}\n",
                   std::string(NO_MAPPINGS_BANNER_LINE)},
       .more =
           [](const ChildProcess& client, const ClientSetup& setup) {
             std::string out = client.out();
             std::string name = banner_name(out);
             EXPECT_TRUE(is_random_name(name)) << name;
             EXPECT_EQ(key_value(setup.key_file(), "sub"), name);
             auto token = key_value(setup.key_file(), "token");
             ASSERT_TRUE(token.has_value());
             EXPECT_TRUE(std::regex_match(*token, std::regex("[0-9a-f]{32}"))) << *token;
             EXPECT_EQ(key_lines(setup.key_file()).front() + "\n", KEY_HEADER);
             // The lines come in the order of the start-up steps.
             EXPECT_LT(out.find(NO_MAPPINGS_LINE), out.find("client: 管理界面"));
             EXPECT_LT(out.find("client: 管理界面"), out.find("已就绪"));
           }},
      {.name = "sub_option_is_saved_when_the_file_has_no_name",
       .key_file_before = with_token(""),
       .args = {"--sub", "My-PC"},
       .out_has = {banner_line("my-pc")},
       .key_has = {"sub=my-pc", "token=" + std::string(TEST_TOKEN)}},
      {.name = "sub_option_holds_for_this_run_only_when_a_name_is_saved",
       .key_file_before = with_token("sub=saved-name\n"),
       .args = {"--sub", "My-PC"},
       .out_has = {banner_line("my-pc")},
       .key_has = {"sub=saved-name"},
       .key_lacks = {"sub=my-pc"}},
      {.name = "saved_name_is_used_without_sub_option",
       .key_file_before = with_token("sub=saved-name\n"),
       .out_has = {banner_line("saved-name")},
       .key_has = {"sub=saved-name"}},
      {.name = "invite_option_is_saved_with_its_line_and_reaches_the_gateway",
       .key_file_before = with_token("sub=invited\n"),
       .args = {"--invite", "code-42"},
       .out_has = {invite_saved_line("{key}"), banner_line("invited")},
       .key_has = {"invite=code-42", "sub=invited"},
       .gateway_invite = "code-42"},
      {.name = "invite_equal_to_the_saved_code_writes_nothing",
       .key_file_before = with_token("sub=invited\ninvite=code-42\n"),
       .args = {"--invite", "code-42"},
       .out_has = {banner_line("invited")},
       .out_lacks = {"接入码已保存"},
       .key_has = {"invite=code-42"},
       .gateway_invite = "code-42"},
      {.name = "saved_invite_reaches_the_gateway_without_the_option",
       .key_file_before = with_token("sub=invited\ninvite=code-42\n"),
       .out_has = {banner_line("invited")},
       .gateway_invite = "code-42"},
      {.name = "missing_invite_is_refused_with_the_hint",
       .key_file_before = with_token("sub=uninvited\n"),
       .ends = Ends::refused,
       .out_lacks = {"已就绪"},
       .err_has = {"client: 网关拒绝 —— 需要接入码（invite code required）\n",
                   "client: 加 --invite <码> 再启动一次（会存进 id.ini，以后不用再给）\n"},
       .key_lacks = {"invite="},
       .gateway_invite = "code-42"},
      {.name = "an_empty_name_line_draws_a_random_name_each_start_and_stays_empty",
       .key_file_before = with_token("sub=\n"),
       .key_has = {"sub="},
       .more =
           [](const ChildProcess& client, const ClientSetup& setup) {
             EXPECT_TRUE(is_random_name(banner_name(client.out()))) << client.out();
             EXPECT_EQ(key_value(setup.key_file(), "sub"), "");
           }},
      {.name = "lines_come_in_the_order_of_the_steps",
       .key_file_before = with_token("sub=ordered\n"),
       .args = {"--invite", "code-7"},
       .out_has = {invite_saved_line("{key}"), std::string(NO_MAPPINGS_LINE)},
       .err_has = {"client: 凭据文件 {key}\n"},
       .gateway_invite = "code-7",
       .more =
           [](const ChildProcess& client, const ClientSetup& setup) {
             std::string out = client.out();
             auto invite = out.find(invite_saved_line(setup.key_file()));
             auto no_mappings = out.find(NO_MAPPINGS_LINE);
             auto console = out.find(console_line(setup.ui));
             auto ready = out.find("已就绪");
             EXPECT_LT(invite, no_mappings) << out;
             EXPECT_LT(no_mappings, console) << out;
             EXPECT_LT(console, ready) << out;
             EXPECT_TRUE(client.err().starts_with("client: 凭据文件 ")) << client.err();
           },
       .env = {{"TUNNEL_DEBUG", ""}}},
      {.name = "http_option_replaces_the_saved_ports",
       .key_file_before = with_token("sub=porter\nports=80,81\n"),
       .args = {"--http", "8080"},
       .out_has = {banner_port_line("porter", 8080)},
       .out_lacks = {std::string(NO_MAPPINGS_LINE), banner_port_line("porter", 80),
                     banner_port_line("porter", 81)},
       .key_has = {"ports=8080"},
       .key_lacks = {"ports=80,"}},
      {.name = "saved_ports_skip_bad_zero_and_repeated_items",
       .key_file_before = with_token("sub=porter\nports= 80 ,80,0,abc,81\n"),
       .out_has = {banner_port_line("porter", 80), banner_port_line("porter", 81)},
       .out_lacks = {std::string(NO_MAPPINGS_LINE), banner_port_line("porter", 0)}},
      {.name = "bad_tls_value_is_an_invalid_input_error",
       .args = {"--tls", "AUTO"},
       .ends = Ends::exits,
       .exit_code = 1,
       .err_has = {error_line(ErrorKind::InvalidInput, TLS_USAGE + "\"AUTO\"")},
       .no_key_file = true},
      {.name = "empty_tls_value_ends_with_two_quotes",
       .args = {"--tls", ""},
       .ends = Ends::exits,
       .exit_code = 1,
       .err_has = {error_line(ErrorKind::InvalidInput, TLS_USAGE + "\"\"")},
       .no_key_file = true},
      {.name = "unreadable_front_ca_is_an_error_naming_the_path",
       .args = {"--front-ca", "{dir}/missing.pem"},
       .ends = Ends::exits,
       .exit_code = 1,
       .no_key_file = true,
       .more =
           [](const ChildProcess& client, const ClientSetup& setup) {
             std::string path = path_to_utf8(setup.keys.path()) + "/missing.pem";
             std::string message = quoted_form("--front-ca " + quoted_form(path) + " 读不了: ");
             message.pop_back();  // the message goes on with the system's text
             std::string err = client.err();
             EXPECT_TRUE(err.starts_with("Error: Custom { kind: Other, error: " + message)) << err;
             EXPECT_NE(err.find("(os error "), std::string::npos) << err;
             EXPECT_TRUE(err.ends_with("\" }\n")) << err;
             EXPECT_EQ(count_of(err, "\n"), 1u) << err;
           }},
      {.name = "front_ca_without_a_certificate_is_invalid_data",
       .args = {"--front-ca", "{dir}/not-a-certificate.pem"},
       .ends = Ends::exits,
       .exit_code = 1,
       .err_has = {error_line(ErrorKind::InvalidData, "--front-ca 的 PEM 里没有证书")},
       .no_key_file = true},
      {.name = "version_prints_its_line_and_ends",
       .args = {"--version"},
       .ends = Ends::exits,
       .exit_code = 0,
       .out_has = {std::string(VERSION_LINE)},
       .no_key_file = true,
       .more = [](const ChildProcess& client,
                  const ClientSetup&) { EXPECT_EQ(client.out(), VERSION_LINE); }},
  };
}

void PrintTo(const StartupCase& c, std::ostream* out) { *out << c.name; }

class StartupTable : public ::testing::TestWithParam<StartupCase> {};

TEST_P(StartupTable, RunsAsSpecified) {
  const StartupCase& c = GetParam();
  devgw::DevGatewayOptions gateway_options;
  gateway_options.invite_code = c.gateway_invite;
  Gateway gateway(std::move(gateway_options));
  ClientSetup setup;
  if (!c.key_file_before.empty()) write_file(setup.key_file(), c.key_file_before);
  write_file(setup.keys.path() / "not-a-certificate.pem", "hello\n");

  std::vector<std::string> args = gateway.client_args();
  // Only the first --tls counts, so the case's own comes instead of the plain default.
  if (std::find(c.args.begin(), c.args.end(), "--tls") == c.args.end())
    args.insert(args.end(), {"--tls", "off"});
  for (const auto& arg : c.args) args.push_back(fill(arg, setup));
  ChildOptions options = client_options(setup, args);
  for (const auto& [name, value] : c.env) options.set_env.emplace_back(name, value);
  ChildProcess client(options);

  switch (c.ends) {
    case Ends::ready:
      ASSERT_TRUE(client.wait_for_out("已就绪", WAIT)) << client.describe() << gateway.log();
      for (const auto& text : c.out_has) {
        EXPECT_TRUE(client.wait_for_out(fill(text, setup), WAIT)) << fill(text, setup);
      }
      break;
    case Ends::refused:
      for (const auto& text : c.err_has)
        ASSERT_TRUE(client.wait_for_err(fill(text, setup), WAIT)) << client.describe();
      break;
    case Ends::exits:
      break;
  }
  // The running cases are stopped here; how the program ends on a signal is tested
  // below (and only on Linux, where a signal can be sent).
  if (c.ends != Ends::exits) client.terminate();
  auto code = client.wait_exit(WAIT);
  ASSERT_TRUE(code.has_value()) << client.describe();
  if (c.ends == Ends::exits) {
    EXPECT_EQ(*code, c.exit_code) << client.describe();
  }

  std::string out = client.out();
  std::string err = client.err();
  for (const auto& text : c.out_has) {
    EXPECT_NE(out.find(fill(text, setup)), std::string::npos) << fill(text, setup) << "\n"
                                                              << client.describe();
  }
  for (const auto& text : c.out_lacks) {
    EXPECT_EQ(out.find(fill(text, setup)), std::string::npos) << fill(text, setup) << "\n"
                                                              << client.describe();
  }
  for (const auto& text : c.err_has) {
    EXPECT_NE(err.find(fill(text, setup)), std::string::npos) << fill(text, setup) << "\n"
                                                              << client.describe();
  }
  for (const auto& text : c.err_lacks) {
    EXPECT_EQ(err.find(fill(text, setup)), std::string::npos) << fill(text, setup) << "\n"
                                                              << client.describe();
  }
  if (c.ends == Ends::exits && c.exit_code == 1) {
    EXPECT_EQ(out, "") << client.describe();
  }

  if (c.no_key_file) {
    EXPECT_FALSE(std::filesystem::exists(setup.key_file())) << read_file(setup.key_file());
  } else {
    auto lines = key_lines(setup.key_file());
    for (const auto& line : c.key_has) {
      EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end())
          << line << "\n"
          << read_file(setup.key_file());
    }
    for (const auto& start : c.key_lacks) {
      for (const auto& line : lines) {
        EXPECT_FALSE(line.starts_with(start)) << line;
      }
    }
  }
  if (c.more) c.more(client, setup);
}

INSTANTIATE_TEST_SUITE_P(E2e, StartupTable, ::testing::ValuesIn(startup_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// --- the console port as the single-instance lock -------------------------------------

TEST(ConsolePort, TakenByAnotherProgramIsAddrInUse) {
  ClientSetup setup;
  asio::io_context io;
  // A plain listener that never answers: the probe waits for its read timeout.
  tcp::acceptor foreign(io);
  foreign.open(tcp::v4());
  foreign.bind({asio::ip::address_v4::loopback(), setup.ui});
  foreign.listen();

  ChildProcess client(
      client_options(setup, {"--gw", "127.0.0.1:9", "--domain", std::string(TEST_DOMAIN)}));
  auto code = client.wait_exit(WAIT);
  ASSERT_TRUE(code.has_value()) << client.describe();
  EXPECT_EQ(*code, 1);
  EXPECT_EQ(client.err(),
            error_line(ErrorKind::AddrInUse, "管理界面端口 " + std::to_string(setup.ui) +
                                                 " 被其他程序占用，用 --ui <端口> 换一个"));
  EXPECT_EQ(client.out(), "");
  EXPECT_FALSE(std::filesystem::exists(setup.key_file()));
}

TEST(ConsolePort, TakenByARunningInstanceHandsOverWithoutLookingAtOtherOptions) {
  Gateway gateway;
  ClientSetup first;
  std::vector<std::string> args = gateway.client_args();
  args.insert(args.end(), {"--tls", "off", "--sub", "first"});
  ChildProcess running(client_options(first, args));
  ASSERT_TRUE(running.wait_for_out(banner_line("first"), WAIT)) << running.describe();

  // Same console port, a key folder of its own and options that would each end a start.
  TempDir second_keys;
  ChildProcess second(
      client_options(second_keys.path(), first.ui,
                     {"--tls", "AUTO", "--front-ca", "/no/such/file.pem", "--gw", "no-port"}));
  auto code = second.wait_exit(WAIT);
  ASSERT_TRUE(code.has_value()) << second.describe();
  EXPECT_EQ(*code, 0) << second.describe();
  EXPECT_EQ(second.out(), HAND_OVER_LINE);
  EXPECT_EQ(second.err(), "");
  EXPECT_TRUE(std::filesystem::is_empty(second_keys.path()))
      << "the key file is not read, so not created";

  EXPECT_TRUE(running.running()) << running.describe();
}

// One console exchange read to its end. The console closes its side first, so that side
// of the connection waits out TIME-WAIT on the console port after the program is gone.
std::string console_state(std::uint16_t ui) {
  asio::io_context io;
  tcp::socket socket(io);
  socket.connect({asio::ip::address_v4::loopback(), ui});
  std::string request =
      "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(ui) + "\r\n\r\n";
  asio::write(socket, asio::buffer(request));
  std::string reply;
  std::error_code ec;
  asio::read(socket, asio::dynamic_buffer(reply), ec);  // until the console closes
  return reply;
}

TEST(ConsolePort, IsFreeForARestartRightAfterTheConsoleWasUsed) {
  Gateway gateway;
  ClientSetup setup;
  std::vector<std::string> args = gateway.client_args();
  args.insert(args.end(), {"--tls", "off", "--sub", "again"});
  {
    ChildProcess first(client_options(setup, args));
    ASSERT_TRUE(first.wait_for_out(banner_line("again"), WAIT)) << first.describe();
    for (int request = 0; request < 3; ++request) {
      EXPECT_NE(console_state(setup.ui).find("\"device_id\""), std::string::npos);
    }
    first.terminate();
    ASSERT_TRUE(first.wait_exit(WAIT).has_value()) << first.describe();
  }
  ChildProcess second(client_options(setup, args));
  ASSERT_TRUE(second.wait_for_out(banner_line("again"), WAIT)) << second.describe();
  EXPECT_EQ(second.err(), "") << second.describe();
  EXPECT_NE(console_state(setup.ui).find("\"device_id\""), std::string::npos);
}

// A write cut off by a kill leaves a full copy of the credential beside the key file (or
// beside its backup); the next start removes it and keeps the key file itself.
TEST(KeyFileAtStart, LeftOverTemporaryCopiesAreRemoved) {
  Gateway gateway;
  ClientSetup setup;
  const std::string key_text = with_token("sub=tidy\n");
  write_file(setup.key_file(), key_text);
  const auto temp = setup.keys.path() / "id.ini.tmp";
  const auto backup_temp = setup.keys.path() / "id.ini.bak.tmp";
  write_file(temp, key_text);
  write_file(backup_temp, key_text);
  std::vector<std::string> args = gateway.client_args();
  args.insert(args.end(), {"--tls", "off"});
  ChildProcess client(client_options(setup, args));
  ASSERT_TRUE(client.wait_for_out(banner_line("tidy"), WAIT)) << client.describe();
  EXPECT_FALSE(std::filesystem::exists(temp));
  EXPECT_FALSE(std::filesystem::exists(backup_temp));
  EXPECT_EQ(read_file(setup.key_file()), key_text);
}

// --- ending on request ------------------------------------------------------------------

#ifdef _WIN32
// The program's hidden window: the one of its class that the child process made.
HWND program_window(const ChildProcess& client) {
  struct Search {
    DWORD process;
    HWND found = nullptr;
  } search{client.process_id()};
  auto deadline = std::chrono::steady_clock::now() + WAIT;
  while (search.found == nullptr && std::chrono::steady_clock::now() < deadline) {
    EnumWindows(
        [](HWND window, LPARAM raw) -> BOOL {
          auto* s = reinterpret_cast<Search*>(raw);
          DWORD owner = 0;
          GetWindowThreadProcessId(window, &owner);
          wchar_t name[64] = {};
          GetClassNameW(window, name, 64);
          if (owner != s->process || std::wstring_view(name) != L"QuillmarNativeWindow")
            return TRUE;
          s->found = window;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    if (search.found == nullptr) std::this_thread::sleep_for(20ms);
  }
  return search.found;
}

// The tray menu the program opened, once it shows.
HWND open_menu_of(const ChildProcess& client) {
  auto deadline = std::chrono::steady_clock::now() + WAIT;
  while (std::chrono::steady_clock::now() < deadline) {
    for (HWND menu = FindWindowExW(nullptr, nullptr, L"#32768", nullptr); menu != nullptr;
         menu = FindWindowExW(nullptr, menu, L"#32768", nullptr)) {
      DWORD owner = 0;
      GetWindowThreadProcessId(menu, &owner);
      if (owner == client.process_id() && IsWindowVisible(menu)) return menu;
    }
    std::this_thread::sleep_for(20ms);
  }
  return nullptr;
}

// "退出 Quillmar" as a user picks it: releasing the right button over the tray icon
// opens the menu, whose last item is reached with the up key and chosen with Enter.
void exit_from_the_tray_menu(ChildProcess& client) {
  HWND window = program_window(client);
  ASSERT_NE(window, nullptr) << client.describe();
  PostMessageW(window, WM_APP + 1, 1, WM_RBUTTONUP);
  HWND menu = open_menu_of(client);
  ASSERT_NE(menu, nullptr) << client.describe();
  for (WPARAM key : {VK_UP, VK_RETURN}) PostMessageW(menu, WM_KEYDOWN, key, 0);
}

// The window's own exit command, as a caller that sends it window messages gives it.
void exit_by_window_command(ChildProcess& client) {
  HWND window = program_window(client);
  ASSERT_NE(window, nullptr) << client.describe();
  PostMessageW(window, WM_COMMAND, 202, 0);
}
#endif

struct EndCase {
  const char* name;
  std::function<void(ChildProcess&)> end;
  bool tls = false;  // over TLS, after one visit through the tunnel
};

void PrintTo(const EndCase& c, std::ostream* out) { *out << c.name; }

class EndsOnRequest : public ::testing::TestWithParam<EndCase> {};

TEST_P(EndsOnRequest, PrintsTheExitLineAndLeavesTheKeyFileAlone) {
  const EndCase& c = GetParam();
  Gateway gateway(c.tls ? tls_gateway() : plain_gateway());
  LocalService service([](const std::string&) { return http_ok("served"); });
  ClientSetup setup;
  write_file(setup.key_file(),
             with_token("sub=stopper\nports=" + std::to_string(service.port()) + "\n"));
  std::vector<std::string> args = gateway.client_args();
  if (!c.tls) args.insert(args.end(), {"--tls", "off"});
  ChildProcess client(client_options(setup, args));
  ASSERT_TRUE(client.wait_for_out(banner_line("stopper"), WAIT)) << client.describe();
  if (c.tls) {
    // The heartbeat and the stream task still share the connection when the end comes.
    auto reply = visit(gateway.public_port(), get_request(public_host("stopper", service.port())));
    EXPECT_EQ(reply.body(), "served") << reply.raw << client.describe();
  }
  std::string key_before = read_file(setup.key_file());

  c.end(client);
  auto code = client.wait_exit(WAIT);
  ASSERT_TRUE(code.has_value()) << client.describe();
  EXPECT_EQ(*code, 0) << client.describe();
  EXPECT_TRUE(client.out().ends_with(EXIT_LINE)) << client.describe();
  EXPECT_EQ(read_file(setup.key_file()), key_before);
}

#ifdef _WIN32
// No Ctrl-C reaches a program without a console: it ends from its tray.
INSTANTIATE_TEST_SUITE_P(E2e, EndsOnRequest,
                         ::testing::Values(EndCase{"tray_menu_exit", exit_from_the_tray_menu},
                                           EndCase{"window_exit_over_tls_after_a_visit",
                                                   exit_by_window_command, true}),
                         [](const auto& info) { return std::string(info.param.name); });
#else
INSTANTIATE_TEST_SUITE_P(
    E2e, EndsOnRequest,
    ::testing::Values(EndCase{"ctrl_c", &ChildProcess::interrupt},
                      EndCase{"sigterm", &ChildProcess::terminate},
                      EndCase{"ctrl_c_over_tls_after_a_visit", &ChildProcess::interrupt, true},
                      EndCase{"sigterm_over_tls_after_a_visit", &ChildProcess::terminate, true}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the browser ------------------------------------------------------------------------

// An xdg-open of the test's own on the PATH, which writes down what it was asked to
// open; a display name that no program connects to.
class FakeBrowser {
 public:
  FakeBrowser() {
    std::filesystem::create_directories(folder_.path() / "bin");
    auto script = folder_.path() / "bin" / "xdg-open";
    write_file(script, "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + path_to_utf8(log()) + "'\n");
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  }

  void add_to(ChildOptions& options, bool display) const {
    const char* path = std::getenv("PATH");
    options.set_env.emplace_back("PATH", path_to_utf8(folder_.path() / "bin") + ":" +
                                             std::string(path ? path : "/usr/bin:/bin"));
    if (display) options.set_env.emplace_back("DISPLAY", ":quillmar-test");
  }

  std::filesystem::path log() const { return folder_.path() / "opened.txt"; }
  std::string opened() const {
    return std::filesystem::exists(log()) ? read_file(log()) : std::string();
  }
  bool wait_opened(std::chrono::milliseconds limit) const {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (opened().empty() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(20ms);
    return !opened().empty();
  }

 private:
  TempDir folder_;
};

// How long an opener that was going to run has had to do so.
constexpr auto OPENER_GRACE = 500ms;

std::string console_address(std::uint16_t ui) {
  return "http://127.0.0.1:" + std::to_string(ui) + "/\n";
}

struct StartBrowserCase {
  const char* name;
  bool display;
  bool no_browser_set;
  bool opened;
};

class BrowserAtStart : public ::testing::TestWithParam<StartBrowserCase> {};

// Every start opens the console once it answers, when there is a display to show it
// on; TUNNEL_NO_BROWSER is only for the hand-over.
TEST_P(BrowserAtStart, OpensTheConsoleOnlyWithADisplay) {
  const StartBrowserCase& c = GetParam();
  Gateway gateway;
  ClientSetup setup;
  FakeBrowser browser;
  std::vector<std::string> args = gateway.client_args();
  args.insert(args.end(), {"--tls", "off", "--sub", "viewer"});
  ChildOptions options = client_options(setup, args);
  std::erase_if(options.set_env, [](const auto& e) { return e.first == "TUNNEL_NO_BROWSER"; });
  if (c.no_browser_set) options.set_env.emplace_back("TUNNEL_NO_BROWSER", "");
  options.unset_env.push_back("TUNNEL_NO_BROWSER");
  browser.add_to(options, c.display);
  ChildProcess client(options);
  ASSERT_TRUE(client.wait_for_out(banner_line("viewer"), WAIT)) << client.describe();

  if (c.opened) {
    ASSERT_TRUE(browser.wait_opened(WAIT)) << client.describe();
  }
  std::this_thread::sleep_for(OPENER_GRACE);
  EXPECT_EQ(browser.opened(), c.opened ? console_address(setup.ui) : "");
  client.interrupt();
  EXPECT_EQ(client.wait_exit(WAIT), 0) << client.describe();
}

INSTANTIATE_TEST_SUITE_P(
    E2e, BrowserAtStart,
    ::testing::Values(StartBrowserCase{"with_a_display", true, false, true},
                      StartBrowserCase{"without_a_display", false, false, false},
                      StartBrowserCase{"with_tunnel_no_browser", true, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

struct HandOverBrowserCase {
  const char* name;
  bool no_browser_set;
  bool opened;
};

class BrowserAtHandOver : public ::testing::TestWithParam<HandOverBrowserCase> {};

TEST_P(BrowserAtHandOver, OpensTheRunningConsoleUnlessTunnelNoBrowserIsSet) {
  const HandOverBrowserCase& c = GetParam();
  Gateway gateway;
  ClientSetup first;
  std::vector<std::string> args = gateway.client_args();
  args.insert(args.end(), {"--tls", "off", "--sub", "first"});
  ChildProcess running(client_options(first, args));  // no display: opens nothing
  ASSERT_TRUE(running.wait_for_out(banner_line("first"), WAIT)) << running.describe();

  FakeBrowser browser;
  TempDir second_keys;
  ChildOptions options = client_options(second_keys.path(), first.ui, {});
  std::erase_if(options.set_env, [](const auto& e) { return e.first == "TUNNEL_NO_BROWSER"; });
  if (c.no_browser_set) options.set_env.emplace_back("TUNNEL_NO_BROWSER", "");
  options.unset_env.push_back("TUNNEL_NO_BROWSER");
  browser.add_to(options, true);
  ChildProcess second(options);
  EXPECT_EQ(second.wait_exit(WAIT), 0) << second.describe();
  EXPECT_EQ(second.out(), HAND_OVER_LINE);

  if (c.opened) {
    ASSERT_TRUE(browser.wait_opened(WAIT)) << second.describe();
  }
  std::this_thread::sleep_for(OPENER_GRACE);
  EXPECT_EQ(browser.opened(), c.opened ? console_address(first.ui) : "");
}

INSTANTIATE_TEST_SUITE_P(E2e, BrowserAtHandOver,
                         ::testing::Values(HandOverBrowserCase{"opened", false, true},
                                           HandOverBrowserCase{"tunnel_no_browser_empty", true,
                                                               false}),
                         [](const auto& info) { return std::string(info.param.name); });
#endif

}  // namespace
}  // namespace quillmar::test
