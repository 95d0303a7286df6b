// The stand-in's admin commands over its admin port, as tests and humans use them.
#include "devgw_test_support.hpp"

namespace quillmar::devgw::test {
namespace {

class DevgwAdmin : public GatewayFixture {};

TEST_F(DevgwAdmin, SendsFramesToTheChosenDevices) {
  struct Case {
    std::string command;
    std::string reply;
    std::uint8_t kind;  // 0: no frame expected
    std::uint32_t id;
    std::string payload;
  } cases[] = {
      {"notice maintenance at 3:00", "ok", KIND_ERROR, 0, "maintenance at 3:00"},
      {"notice @kite quota: today is over", "ok", KIND_ERROR, 0, "quota: today is over"},
      {"punch @kite punch|ready|nas|1|8080\\n198.51.100.9|40000|obs-peer", "ok", KIND_PUNCH_STATUS,
       0, "punch|ready|nas|1|8080\n198.51.100.9|40000|obs-peer"},
      {"account v1|vip|1|2|3|4|5", "ok", KIND_ACCOUNT, 0, "v1|vip|1|2|3|4|5"},
      {"account", "ok", KIND_ACCOUNT, 0, "v1|dev|0|0|1036800|0|0"},
      {"frame @kite data 7 \\x00\\xffend", "ok", KIND_DATA, 7,
       std::string("\0\xff"
                   "end",
                   5)},
      {"frame @kite 200 4294967295", "ok", 200, 4294967295u, ""},
      {"frame @kite KIND_HALF_CLOSE 3", "ok", KIND_HALF_CLOSE, 3, ""},
      {"frame @nobody data 1", "error no device named \"nobody\" is online", 0, 0, ""},
      {"frame @kite sideways 1",
       "error unknown frame kind \"sideways\" (a number 0 to 255 or a name like data)", 0, 0, ""},
      {"frame @kite data x", "error the stream id \"x\" is not a number from 0 to 4294967295", 0, 0,
       ""},
      {"notice bad \\q escape", "error unknown escape \\q", 0, 0, ""},
      {"drop nobody", "error no device named \"nobody\" is online", 0, 0, ""},
      {"fingerprint", "error TLS is off", 0, 0, ""},
      {"devices", "ok kite", 0, 0, ""},
      {"set plan no.dots", "error a plan name is 1 to 24 letters, digits, '_' or '-'", 0, 0, ""},
      {"set colour blue",
       "error unknown setting \"colour\" (plan, quota, max-mappings, plan-ends-at, pubport, "
       "pubtls, "
       "invite, block, half-close)",
       0, 0, ""},
      {"set plan vip", "ok", KIND_ACCOUNT, 0, "v1|vip|0|0|1036800|0|0"},
      {"set quota 1M", "ok", KIND_ACCOUNT, 0, "v1|vip|0|1048576|1036800|0|0"},
      {"usage kite 1000", "ok", KIND_ACCOUNT, 0, "v1|vip|1000|1048576|1036800|0|0"},
      {"wiggle", "error unknown command \"wiggle\" (try help)", 0, 0, ""},
  };
  auto options = quick_options();
  options.clock = [] { return std::uint64_t{1'000'000}; };
  auto ports = start(options);
  run([&]() -> asio::awaitable<void> {
    auto device = co_await TestDevice::connect(ports.control);
    co_await device.register_as("kite", "80", "token-a");
    EXPECT_EQ((co_await device.must_next()).kind, KIND_WELCOME);
    EXPECT_EQ((co_await device.must_next()).kind, KIND_ACCOUNT);
    for (const auto& c : cases) {
      SCOPED_TRACE(c.command);
      EXPECT_EQ(co_await admin(*ports.admin, c.command), c.reply);
      if (c.kind == 0) {
        EXPECT_TRUE(co_await device.silent_for(50ms));
        continue;
      }
      auto frame = co_await device.must_next();
      EXPECT_EQ(frame.kind, c.kind);
      EXPECT_EQ(frame.id, c.id);
      EXPECT_EQ(text_of(frame), c.payload);
    }
  }());
}

TEST_F(DevgwAdmin, MuteHoldsFramesBothWaysUntilUnmute) {
  auto ports = start();
  run([&]() -> asio::awaitable<void> {
    auto device = co_await TestDevice::connect(ports.control);
    co_await device.register_as("kite", "80", "token-a");
    EXPECT_EQ((co_await device.next_other()).kind, KIND_WELCOME);
    EXPECT_EQ((co_await device.must_next()).kind, KIND_ACCOUNT);  // sent right after the welcome
    EXPECT_EQ(co_await admin(*ports.admin, "mute kite"), "ok");
    EXPECT_EQ(co_await admin(*ports.admin, "status"),
              "ok control=" + std::to_string(ports.control) +
                  " tls=off http=" + std::to_string(*ports.public_http) +
                  " admin=" + std::to_string(*ports.admin) + " devices=kite(80;0 streams;muted)");
    EXPECT_EQ(co_await admin(*ports.admin, "notice held back"),
              "ok (muted, sent when unmuted: kite)");
    EXPECT_TRUE(co_await device.silent_for(200ms));

    // A visitor's stream waits as well: no KIND_OPEN while muted.
    auto visitor = co_await TestVisitor::connect(*ports.public_http);
    co_await visitor.write(get_request("kite-80.localhost"));
    EXPECT_TRUE(co_await device.silent_for(200ms));

    EXPECT_EQ(co_await admin(*ports.admin, "unmute kite"), "ok");
    EXPECT_EQ(text_of(co_await device.next_other()), "held back");
    auto open = co_await device.next_other();
    EXPECT_EQ(open.kind, KIND_OPEN);
    co_await device.send(KIND_DATA, open.id, "after the mute");
    co_await device.send(KIND_CLOSE, open.id, "");
    EXPECT_EQ(co_await visitor.read_to_end(), "after the mute");
  }());
}

TEST_F(DevgwAdmin, DropClosesTheDevicesConnection) {
  auto ports = start();
  run([&]() -> asio::awaitable<void> {
    auto device = co_await TestDevice::connect(ports.control);
    co_await device.register_as("kite", "80", "token-a");
    EXPECT_EQ((co_await device.next_other()).kind, KIND_WELCOME);
    EXPECT_EQ(co_await admin(*ports.admin, "drop kite"), "ok");
    EXPECT_TRUE(co_await device.ends());
    EXPECT_EQ(co_await admin(*ports.admin, "devices"), "ok");
  }());
  EXPECT_TRUE(logged("dropping kite as asked")) << log_text();
}

TEST_F(DevgwAdmin, SetChangesTheRulesForTheNextHandshake) {
  auto ports = start();
  run([&]() -> asio::awaitable<void> {
    EXPECT_EQ(co_await admin(*ports.admin, "set invite sesame"), "ok");
    EXPECT_EQ(co_await admin(*ports.admin, "set block 22,445"), "ok");
    EXPECT_EQ(co_await admin(*ports.admin, "set pubport 8080"), "ok");
    struct Step {
      std::optional<std::string> invite;
      std::string reply;
    } steps[] = {
        {std::nullopt, "需要接入码（invite code required）"},
        {"sesame", "blocked ports: 22"},
    };
    for (const auto& step : steps) {
      auto device = co_await TestDevice::connect(ports.control);
      co_await device.register_as("kite", "80,22", "token-a", step.invite);
      EXPECT_EQ(text_of(co_await device.must_next()), step.reply);
    }
    EXPECT_EQ(co_await admin(*ports.admin, "set block off"), "ok");
    EXPECT_EQ(co_await admin(*ports.admin, "set invite off"), "ok");
    auto device = co_await TestDevice::connect(ports.control);
    co_await device.register_as("kite", "80,22", "token-a");
    EXPECT_EQ(text_of(co_await device.must_next()), "|pubport=8080|pubtls=0");
  }());
}

TEST_F(DevgwAdmin, AnswersSeveralCommandsOnOneConnectionAndEndsOnQuit) {
  auto ports = start();
  run([&]() -> asio::awaitable<void> {
    tcp::socket socket(co_await asio::this_coro::executor);
    co_await socket.async_connect(loopback(*ports.admin), asio::use_awaitable);
    std::string lines = "devices\r\n\nhelp\nstall-next\nquit\nnever run\n";
    co_await asio::async_write(socket, asio::buffer(lines), asio::use_awaitable);
    TestVisitor reader{std::move(socket)};
    auto replies = co_await reader.read_to_end();
    EXPECT_TRUE(replies.starts_with("ok\nok help status devices")) << replies;
    EXPECT_TRUE(replies.ends_with("\nok\n")) << replies;
    EXPECT_EQ(std::count(replies.begin(), replies.end(), '\n'), 3);
  }());
}

TEST_F(DevgwAdmin, ShutdownStopsTheGatewayAfterReplying) {
  bool stopped = false;
  auto options = quick_options();
  options.on_stop = [&stopped] { stopped = true; };
  auto ports = start(options);
  run([&]() -> asio::awaitable<void> {
    EXPECT_EQ(co_await admin(*ports.admin, "shutdown"), "ok");
    tcp::socket late(co_await asio::this_coro::executor);
    auto [ec] = co_await late.async_connect(loopback(ports.control), as_tuple_awaitable);
    EXPECT_TRUE(ec);
  }());
  EXPECT_TRUE(stopped);
}

}  // namespace
}  // namespace quillmar::devgw::test
