// The session's direct-connection handling: through its entry points with the frames
// read back by the test, and end to end with the gateway stand-in sending the status
// lines and recording the offers and results.
#include "direct/status_handling.hpp"

#include <gtest/gtest.h>

#include "console/state_document.hpp"
#include "direct_test_support.hpp"
#include "fake_halves.hpp"

namespace quillmar::test {
namespace {

std::string str(std::uint16_t port) { return std::to_string(port); }

TEST(RecordPunchRequest, KeepsTheNewestSixteenOneEntryPerDevice) {
  SharedState shared;
  for (const char* name : {"nas1", "pc2", "nas1", "NAS1"}) record_punch_request(shared, name);
  auto requests = shared.punch_requests.get();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].who, "NAS1");
  EXPECT_EQ(requests[1].who, "nas1");
  EXPECT_EQ(requests[2].who, "pc2");
  EXPECT_GE(requests[0].at, requests[2].at);
  EXPECT_GT(requests[0].at, 0u);

  for (int i = 0; i < 17; ++i) record_punch_request(shared, "dev" + std::to_string(i));
  requests = shared.punch_requests.get();
  ASSERT_EQ(requests.size(), MAX_PUNCH_REQUESTS);
  EXPECT_EQ(requests.front().who, "dev16");
  EXPECT_EQ(requests.back().who, "dev1");
}

TEST(VisitorEntryPort, TheOnPortElseTheLargerOfStatusAndFirstMappedPort) {
  EXPECT_EQ(visitor_entry_port(9000, 8080, {3000}), 9000);
  EXPECT_EQ(visitor_entry_port(0, 8080, {3000, 9999}), 8080);
  EXPECT_EQ(visitor_entry_port(0, 0, {3000}), 3000);
  EXPECT_EQ(visitor_entry_port(0, 0, {}), 0);
}

class StatusHandling : public DirectTest {
 protected:
  PunchContext context(SharedWriterPtr writer, std::vector<std::uint16_t> ports = {}) {
    return PunchContext{
        std::move(writer),        shared_, punch_,          std::move(ports), "127.0.0.1:7000",
        std::string(TEST_DOMAIN), pool(),  loopback_setup()};
  }
  PunchContext context(std::vector<std::uint16_t> ports = {}) {
    return context(gateway_.writer(), std::move(ports));
  }
  SharedWriterPtr failing_writer() {
    WriteBehaviour failing;
    failing.failing_writes = 100;
    return std::make_shared<SharedWriter>(
        pool(), std::make_unique<RecordingWriteHalf>(std::make_shared<WriteLog>(), failing));
  }
  // The offers that arrived, until none comes for a moment.
  asio::awaitable<std::vector<std::string>> offers() {
    std::vector<std::string> texts;
    for (;;) {
      auto frame = co_await gateway_.next(200ms);
      if (!frame) co_return texts;
      EXPECT_EQ(frame->kind, KIND_PUNCH_OFFER);
      texts.push_back(text_of(*frame));
    }
  }
  void set_state(std::uint64_t state, std::string note) {
    store(shared_->punch_state, state);
    shared_->punch_note.set(std::move(note));
  }
  void expect_state(std::uint64_t state, std::string_view note) {
    EXPECT_EQ(load(shared_->punch_state), state);
    EXPECT_EQ(shared_->punch_note.get(), note);
  }

  PunchOptions punch_;
  FrameSink gateway_{io_, pool()};
};

TEST_F(StatusHandling, TheWelcomeOffersTheVisitTargetThenTheAllowList) {
  shared_->punch_visit.set("kite");
  shared_->punch_allow.set({"a", "b"});
  auto sent = run([&]() -> asio::awaitable<std::vector<std::string>> {
    PunchContext punch = context({8080});
    co_await register_punch(punch);
    auto got = co_await offers();
    co_return got;
  }());
  EXPECT_EQ(sent, (std::vector<std::string>{"visitor|kite|", "owner|a,b|"}));
  EXPECT_EQ(stdout_,
            "client: 已向网关登记直连候选（目标 kite，候选 ）\n"
            "client: 已声明可被 a,b 直连，候选 \n");
  expect_state(PUNCH_PENDING, "已允许 a、b 直连（本机首个端口）");
}

TEST_F(StatusHandling, AWelcomeWithNothingToOfferClearsTheState) {
  set_state(PUNCH_RELAY, "old");
  auto sent = run([&]() -> asio::awaitable<std::vector<std::string>> {
    PunchContext punch = context();
    co_await register_punch(punch);
    auto got = co_await offers();
    co_return got;
  }());
  EXPECT_TRUE(sent.empty());
  expect_state(PUNCH_OFF, "");
  EXPECT_EQ(stdout_, "");
}

TEST_F(StatusHandling, AnOfferThatCannotBeWrittenAtTheWelcomeChangesNothing) {
  set_state(PUNCH_RELAY, "old");
  shared_->punch_allow.set({"a"});
  run([&]() -> asio::awaitable<int> {
    PunchContext punch = context(failing_writer());
    co_await register_punch(punch);
    co_return 0;
  }());
  expect_state(PUNCH_RELAY, "old");
  EXPECT_EQ(stdout_, "");
}

TEST_F(StatusHandling, ControlMessagesChangeTheSettingsInPlace) {
  struct Case {
    const char* name;
    SessionControl message;
    std::string offer;
    std::uint64_t state;
    std::string note;
    std::string line;
    std::string key_lines;  // the file after the token line
  } cases[] = {
      {"a new allow list",
       {SessionControl::Tag::CONTROL_ALLOW_LIST, {"a", "b"}, ""},
       "owner|a,b|",
       PUNCH_PENDING,
       "已允许 a、b 直连",
       "client: 「允许谁直连」:= [\"a\", \"b\"]（隧道不重连，立刻生效）\n",
       "punch=a,b\nvisit=\n"},
      {"an empty allow list",
       {SessionControl::Tag::CONTROL_ALLOW_LIST, {}, ""},
       "owner||",
       PUNCH_OFF,
       "直连已关闭（名单为空）",
       "client: 「允许谁直连」:= []（隧道不重连，立刻生效）\n",
       "punch=\nvisit=\n"},
      {"a visit target",
       {SessionControl::Tag::CONTROL_VISIT, {}, "nas"},
       "visitor|nas|",
       PUNCH_PENDING,
       "等待 nas 的直连配对",
       "client: 「我要直连谁」:= \"nas\"（隧道不重连，立刻生效）\n",
       "punch=\nvisit=nas\n"},
      {"no visit target",
       {SessionControl::Tag::CONTROL_VISIT, {}, ""},
       "visitor||",
       PUNCH_OFF,
       "不再直连任何设备（走中继）",
       "client: 「我要直连谁」:= \"\"（隧道不重连，立刻生效）\n",
       "punch=\nvisit=\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(shared_->key_path, "token=" + std::string(TEST_TOKEN) + "\n");
    store(shared_->direct_active, 1);
    const std::uint64_t generation = load(shared_->punch_generation);
    auto sent = run([&]() -> asio::awaitable<std::vector<std::string>> {
      PunchContext punch = context({8080});
      Status applied = co_await apply_punch_control(punch, c.message);
      EXPECT_TRUE(applied.ok());
      auto got = co_await offers();
      co_return got;
    }());
    EXPECT_EQ(sent, std::vector<std::string>{c.offer});
    expect_state(c.state, c.note);
    EXPECT_EQ(stdout_, c.line);
    EXPECT_EQ(load(shared_->direct_active), 0u);
    EXPECT_EQ(load(shared_->punch_generation), generation + 1);
    EXPECT_EQ(read_file(shared_->key_path),
              "token=" + std::string(TEST_TOKEN) + "\n" + c.key_lines);
  }
}

TEST_F(StatusHandling, AControlOfferThatCannotBeWrittenEndsTheSessionWithTheSettingKept) {
  set_state(PUNCH_RELAY, "old");
  Status applied = run([&]() -> asio::awaitable<Status> {
    PunchContext punch = context(failing_writer());
    SessionControl message{SessionControl::Tag::CONTROL_ALLOW_LIST, {"a"}, ""};
    Status result = co_await apply_punch_control(punch, std::move(message));
    co_return result;
  }());
  EXPECT_FALSE(applied.ok());
  EXPECT_EQ(shared_->punch_allow.get(), AllowList{"a"});
  EXPECT_NE(read_file(shared_->key_path).find("punch=a\n"), std::string::npos);
  expect_state(PUNCH_RELAY, "old");
  EXPECT_EQ(load(shared_->punch_generation), 1u);
  EXPECT_EQ(stdout_, "");
}

TEST_F(StatusHandling, StatusLinesOtherThanReady) {
  struct Case {
    const char* name;
    std::uint32_t id;
    std::string line;
    std::uint64_t state;
    std::uint64_t active;
    std::uint64_t generation;
    std::string note;
    std::string printed;
  } cases[] = {
      {"waiting", 0, "punch|waiting|nas|1|0", PUNCH_PENDING, 0, 6, "等 nas 上线", ""},
      {"another word", 0, "punch|done|nas|1|0", PUNCH_RELAY, 0, 6, "nas 无可用直连地址（走中继）",
       "client: nas 没有可用的同网段地址 —— 继续走中继\n"},
      {"words are compared exactly", 0, "punch|Ready|nas|1|8080\n127.0.0.3|80|lan", PUNCH_RELAY, 0,
       6, "nas 无可用直连地址（走中继）", "client: nas 没有可用的同网段地址 —— 继续走中继\n"},
      {"an unreadable line", 0, "pnch|ready|nas", PUNCH_RELAY, 0, 6, "? 无可用直连地址（走中继）",
       "client: ? 没有可用的同网段地址 —— 继续走中继\n"},
      {"an empty line", 0, "", PUNCH_RELAY, 0, 6, "? 无可用直连地址（走中继）",
       "client: ? 没有可用的同网段地址 —— 继续走中继\n"},
      {"a request", 0, "punch|request|pc2|1|0", PUNCH_DIRECT, 1, 5, "before",
       "client: pc2 想直连本机 —— 在管理页「允许谁直连」里点允许即可（现在它走中继）\n"},
      {"a line with a stream id", 7, "punch|waiting|nas|1|0", PUNCH_DIRECT, 1, 5, "before", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    shared_ = std::make_shared<SharedState>();
    set_state(PUNCH_DIRECT, "before");
    store(shared_->direct_active, 1);
    store(shared_->punch_generation, 5);
    run([&]() -> asio::awaitable<int> {
      PunchContext punch = context({8080});
      Frame frame = new_frame(KIND_PUNCH_STATUS, c.id, as_bytes(c.line));
      co_await handle_punch_status(punch, frame);
      co_return 0;
    }());
    expect_state(c.state, c.note);
    EXPECT_EQ(load(shared_->direct_active), c.active);
    EXPECT_EQ(load(shared_->punch_generation), c.generation);
    EXPECT_EQ(stdout_, c.printed);
    EXPECT_TRUE(shared_->direct_ports.get().empty());
  }
}

TEST_F(StatusHandling, AReadyVisitorReachesTheOwnerThroughItsEntry) {
  EchoService owner(io_, PEER_ADDRESS);
  punch_.entry_port = closed_port(io_, asio::ip::address_v4::loopback());
  shared_->sub.set("vis");
  shared_->punch_visit.set("nas");
  const std::string candidates = "127.0.0.3|" + str(owner.port()) + "|lan";
  run([&]() -> asio::awaitable<int> {
    PunchContext punch = context({3000});
    std::string line = "punch|ready|nas|1|0\n" + candidates;
    Frame frame = new_frame(KIND_PUNCH_STATUS, 0, as_bytes(line));
    co_await handle_punch_status(punch, frame);
    expect_state(PUNCH_DIRECT, "与 nas 直连成功（lan）");
    EXPECT_EQ(load(shared_->direct_active), 1u);

    const tcp::endpoint entry(asio::ip::address_v4::loopback(), punch_.entry_port);
    auto local = co_await connect_when_listening(entry);
    EXPECT_TRUE(local.has_value());
    if (!local) co_return 0;
    Exchange got = co_await exchange(*local, "through the entry");
    EXPECT_EQ(got.received, "through the entry");
    auto result = co_await gateway_.next();
    EXPECT_TRUE(result && text_of(*result) == "result|lan|0");
    co_return 0;
  }());
  const std::string owner_address = "127.0.0.3:" + str(owner.port());
  EXPECT_TRUE(stdout_.starts_with("client: 直连候选 [(\"127.0.0.3\", " + str(owner.port()) +
                                  ", \"lan\")]\n"
                                  "client: 已直连 nas（" +
                                  owner_address + "，lan），这条流量的带宽不过网关\n"))
      << describe();
  EXPECT_TRUE(printed("client: 直连入口 http://127.0.0.1:" + str(punch_.entry_port) +
                      " → 对端 :" + str(owner.port()) + "\n"))
      << describe();
}

TEST_F(StatusHandling, AReadyVisitorWithoutAnAnsweringCandidateStaysOnTheRelay) {
  shared_->sub.set("vis");
  shared_->punch_visit.set("nas");
  store(shared_->direct_active, 1);
  const RefusingPort refusing(io_, PEER_ADDRESS);
  const std::string refused = str(refusing.port());
  run([&]() -> asio::awaitable<int> {
    PunchContext punch = context();
    std::string line = "punch|ready|nas|1|0\n127.0.0.3|" + refused + "|lan";
    Frame frame = new_frame(KIND_PUNCH_STATUS, 0, as_bytes(line));
    co_await handle_punch_status(punch, frame);
    co_return 0;
  }());
  expect_state(PUNCH_RELAY, "nas 在同网段但连不上（走中继）");
  EXPECT_EQ(load(shared_->direct_active), 0u);
  EXPECT_EQ(load(shared_->punch_generation), 0u);
  const std::string list = "[(\"127.0.0.3\", " + refused + ", \"lan\")]";
  EXPECT_EQ(stdout_,
            "client: 直连候选 " + list + "\nclient: 候选 " + list + " 都连不通 —— 继续走中继\n");
}

TEST_F(StatusHandling, AReadyPeerThatIsThisDeviceItselfIsHandledAsOwner) {
  shared_->sub.set("nas");
  shared_->punch_visit.set("nas");
  run([&]() -> asio::awaitable<int> {
    PunchContext punch = context();
    std::string line = "punch|ready|nas|1|8080\n|||,x|y|z,,127.0.0.3|abc|obs-peer";
    Frame frame = new_frame(KIND_PUNCH_STATUS, 0, as_bytes(line));
    co_await handle_punch_status(punch, frame);
    // The owner side starts by itself; with no mapped port it opens nothing.
    bool started = co_await eventually([&] { return load(shared_->direct_active) == 1; });
    EXPECT_TRUE(started);
    co_return 0;
  }());
  expect_state(PUNCH_DIRECT, "nas 可直连本机关口");
  EXPECT_TRUE(stdout_.starts_with("client: nas 要直连过来，本机 :8080 之后的连接直转本地服务\n"))
      << describe();
}

// --- end to end with the stand-in ------------------------------------------------------

class StatusWithStandIn : public StandInTest {
 protected:
  asio::awaitable<void> send_status(std::string line) {
    std::string reply = co_await command("punch @nas " + line);
    if (reply != "ok") throw std::runtime_error("punch command: " + reply);
  }
  asio::awaitable<std::string> reply_to(std::string line) {
    std::string reply = co_await command(std::move(line));
    co_return reply;
  }
  std::string state_document() {
    return render_state_json(*shared_, TEST_DOMAIN, "127.0.0.1:" + str(ports_.control));
  }
};

TEST_F(StatusWithStandIn, TheWelcomeRegistersTheSettingsInForce) {
  shared_->punch_allow.set({"vis"});
  shared_->punch_visit.set("owner2");
  start_gateway();
  auto offers = run([&]() -> asio::awaitable<std::string> {
    co_await connect(only(8080));
    co_await eventually([&] { return gateway_log().find("offer \"owner") != std::string::npos; });
    std::string got = co_await reply_to("offers nas");
    co_return got;
  }());
  EXPECT_EQ(offers, R"(ok "visitor|owner2|" "owner|vis|")");
  EXPECT_EQ(load(shared_->punch_state), PUNCH_PENDING);
  EXPECT_EQ(shared_->punch_note.get(), "已允许 vis 直连（本机首个端口）");
}

TEST_F(StatusWithStandIn, TheOwnerSideFollowsThePairingsTheGatewayReports) {
  EchoService service(io_, asio::ip::address_v4::loopback());
  const std::uint16_t port = service.port();
  const std::string ready = "punch|ready|vis|1|" + str(port) + "\\n127.0.0.3|1|lan-peer";
  start_gateway();
  run([&]() -> asio::awaitable<int> {
    co_await connect(only(port));
    const tcp::endpoint listener(LISTEN_ADDRESS, port);

    // A request is listed in the state document.
    co_await send_status("punch|request|pc2|1|0");
    bool listed = co_await eventually([&] { return !shared_->punch_requests.get().empty(); });
    EXPECT_TRUE(listed);
    EXPECT_NE(state_document().find(R"("punch_requests":[{"who":"pc2","ago":)"), std::string::npos)
        << state_document();

    // A ready pairing opens the listener; the peer is joined, anybody else refused.
    co_await send_status(ready);
    bool open = co_await eventually([&] { return !shared_->direct_ports.get().empty(); });
    EXPECT_TRUE(open);
    EXPECT_NE(state_document().find(R"("punch":2,"punch_note":"vis 可直连本机关口")"),
              std::string::npos);
    auto peer = co_await connect_from(PEER_ADDRESS, listener);
    EXPECT_TRUE(peer.has_value());
    if (!peer) co_return 0;
    Exchange first = co_await exchange(*peer, "one", false, 300ms);
    EXPECT_EQ(first.received, "one");
    auto stranger = co_await connect_from(STRANGER_ADDRESS, listener);
    if (stranger) {
      EXPECT_TRUE(co_await ends_within(*stranger, 3s));
    }
    bool reported = co_await eventually(
        [&] { return gateway_log().find("direct-connection result") != std::string::npos; });
    EXPECT_TRUE(reported);
    EXPECT_EQ(co_await reply_to("results nas"), R"(ok "result|lan|0")");

    // "waiting" cuts the running relay and revokes the listener.
    co_await send_status("punch|waiting|vis|1|0");
    EXPECT_TRUE(co_await ends_within(*peer, 3s));
    EXPECT_EQ(shared_->punch_note.get(), "等 vis 上线");
    auto late = co_await connect_from(PEER_ADDRESS, listener);
    if (late) {
      EXPECT_TRUE(co_await ends_within(*late, 3s));
    }

    // A settings change cuts the next pairing's relay as well, and offers at once.
    co_await send_status(ready);
    bool again = co_await eventually([&] { return load(shared_->direct_active) == 1; });
    EXPECT_TRUE(again);
    auto second = co_await connect_from(PEER_ADDRESS, listener);
    EXPECT_TRUE(second.has_value());
    if (!second) co_return 0;
    Exchange joined = co_await exchange(*second, "two", false, 300ms);
    EXPECT_EQ(joined.received, "two");
    control_.first.try_send(SessionControl{SessionControl::Tag::CONTROL_ALLOW_LIST, {"vis"}, ""});
    EXPECT_TRUE(co_await ends_within(*second, 3s));
    bool offered = co_await eventually(
        [&] { return gateway_log().find("offer \"owner|vis|\"") != std::string::npos; });
    EXPECT_TRUE(offered);
    EXPECT_EQ(co_await reply_to("offers nas"), R"(ok "owner|vis|")");

    // The fallback notices, a malformed line included; the session goes on.
    co_await send_status("punch|done|vis|1|0");
    bool relayed = co_await eventually(
        [&] { return shared_->punch_note.get() == "vis 无可用直连地址（走中继）"; });
    EXPECT_TRUE(relayed);
    co_await send_status("no status line\\nat|all|");
    bool unreadable = co_await eventually(
        [&] { return shared_->punch_note.get() == "? 无可用直连地址（走中继）"; });
    EXPECT_TRUE(unreadable);
    EXPECT_EQ(load(shared_->connected), 1u);
    EXPECT_EQ(session_.wait_for(0s), std::future_status::timeout);

    // And its visitor streams still run.
    auto visitor = co_await connect_from(asio::ip::address_v4::loopback(),
                                         {asio::ip::address_v4::loopback(), *ports_.public_http});
    EXPECT_TRUE(visitor.has_value());
    if (!visitor) co_return 0;
    std::string request =
        "GET / HTTP/1.1\r\nHost: nas-" + str(port) + "." + std::string(TEST_DOMAIN) + "\r\n\r\n";
    Exchange relayed_visit = co_await exchange(*visitor, request);
    EXPECT_EQ(relayed_visit.received, request);
    co_return 0;
  }());
  EXPECT_EQ(printed_count("client: 名单变了，掐断与 127.0.0.3 的直连"), 2u) << describe();
  EXPECT_EQ(printed_count("client: 直连监听 :"), 1u) << describe();
  EXPECT_TRUE(printed("（不在名单）\n")) << describe();
  EXPECT_TRUE(printed("（已撤销）\n")) << describe();
  EXPECT_TRUE(printed("client: 「允许谁直连」:= [\"vis\"]（隧道不重连，立刻生效）\n"))
      << describe();
  EXPECT_NE(read_file(shared_->key_path).find("punch=vis\n"), std::string::npos);
}

}  // namespace
}  // namespace quillmar::test
