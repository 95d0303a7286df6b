// One gateway session against a scripted gateway on loopback: the test plays the
// gateway frame by frame, with a real local service behind the mapped ports.
#include "session.hpp"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/read.hpp>
#include <asio/use_future.hpp>
#include <asio/write.hpp>

#include "async_test.hpp"
#include "connect.hpp"
#include "frame.hpp"
#include "shared_writer.hpp"
#include "text.hpp"

namespace quillmar {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;
using namespace std::string_view_literals;

constexpr std::string_view TOKEN = "0123456789abcdef0123456789abcdef";

std::string text_of(const Frame& frame) { return std::string(as_text(frame.payload)); }

Frame frame_of(std::uint8_t kind, std::uint32_t id, std::string_view payload) {
  return new_frame(kind, id, as_bytes(payload));
}

// The gateway's end of the control connection.
struct GatewayEnd {
  std::unique_ptr<ReadHalf> reader;
  SharedWriterPtr writer;

  asio::awaitable<Frame> next() {
    auto read = co_await read_frame(*reader);
    if (!read || !read.value())
      throw std::runtime_error("the client closed the control connection");
    co_return std::move(*read.value());
  }
  // The next frame that is not a heartbeat.
  asio::awaitable<Frame> next_non_heartbeat() {
    for (;;) {
      Frame frame = co_await next();
      if (frame.kind != KIND_HEARTBEAT) co_return frame;
    }
  }
  asio::awaitable<void> send(std::uint8_t kind, std::uint32_t id, std::string_view payload) {
    auto sent = co_await writer->send(frame_of(kind, id, payload));
    if (!sent) throw std::runtime_error("gateway send failed");
  }
  asio::awaitable<bool> closed() {
    auto read = co_await read_frame(*reader);
    co_return read && !read.value();
  }
};

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() : gateway_(io_, {asio::ip::address_v4::loopback(), 0}) {
    shared_->tls_mode = TlsMode::TLS_OFF;
    shared_->key_path = dir_.path() / "id.ini";
  }

  SessionInputs inputs(std::vector<std::uint16_t> ports, std::string invite = "") {
    return SessionInputs{"127.0.0.1:" + std::to_string(gateway_.local_endpoint().port()),
                         "example.test",
                         "kite",
                         std::string(TOKEN),
                         std::move(ports),
                         std::move(invite)};
  }

  // Starts the session and gives the gateway's end once the client has connected.
  asio::awaitable<GatewayEnd> start(SessionInputs in) {
    SessionEnvironment environment{io_.get_executor(), timings_};
    outcome_ =
        asio::co_spawn(io_, run_session(std::move(in), shared_, punch_, control_rx_, environment),
                       asio::use_future);
    tcp::socket socket = co_await gateway_.async_accept(asio::use_awaitable);
    auto halves = split_tcp(std::move(socket));
    co_return GatewayEnd{std::move(halves.read), std::make_shared<SharedWriter>(
                                                     io_.get_executor(), std::move(halves.write))};
  }

  // Reads the three handshake frames and welcomes the session.
  asio::awaitable<GatewayEnd> start_welcomed(SessionInputs in) {
    GatewayEnd gw = co_await start(std::move(in));
    co_await gw.next();  // hello
    Frame frame = co_await gw.next();
    if (frame.kind == KIND_INVITE) co_await gw.next();  // then the access frame
    co_await gw.send(KIND_WELCOME, 0, "|pubport=80|pubtls=443"sv);
    co_return gw;
  }

  // Runs the session to its end; what it prints meanwhile is added to the captures.
  SessionOutcome outcome() {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    while (outcome_.wait_for(0s) != std::future_status::ready) io_.run_for(10ms);
    stdout_ += testing::internal::GetCapturedStdout();
    stderr_ += testing::internal::GetCapturedStderr();
    return outcome_.get();
  }

  template <class T>
  T run(asio::awaitable<T> scenario) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    T result = test::run_async(io_, std::move(scenario));
    stdout_ = testing::internal::GetCapturedStdout();
    stderr_ = testing::internal::GetCapturedStderr();
    return result;
  }

  asio::io_context io_;
  tcp::acceptor gateway_;
  test::TempDir dir_;
  SharedStatePtr shared_ = std::make_shared<SharedState>();
  PunchOptions punch_;
  Receiver<SessionControl> control_rx_ = make_queue<SessionControl>(0).second;
  SessionTimings timings_;
  std::future<SessionOutcome> outcome_;
  std::string stdout_;
  std::string stderr_;
};

TEST_F(SessionTest, HandshakeFramesAreExactlyHelloThenAccess) {
  shared_->access.set({{443, std::string(64, 'a')}});
  SessionInputs in = inputs({80, 443});
  auto frames = run([&]() -> asio::awaitable<std::vector<Frame>> {
    GatewayEnd gw = co_await start(in);
    std::vector<Frame> got;
    got.push_back(co_await gw.next());
    got.push_back(co_await gw.next());
    co_await gw.send(KIND_ERROR, 0, "nope"sv);
    co_return got;
  }());
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].kind, KIND_HELLO);
  EXPECT_EQ(frames[0].id, 0u);
  EXPECT_EQ(text_of(frames[0]), "kite\n80,443\n" + std::string(TOKEN));
  EXPECT_EQ(frames[1].kind, KIND_ACCESS);
  EXPECT_EQ(text_of(frames[1]), "443=" + std::string(64, 'a'));
  EXPECT_EQ(outcome(), SessionOutcome::OUTCOME_RETRY);
}

TEST_F(SessionTest, InviteComesBetweenHelloAndAnEmptyAccessFrame) {
  SessionInputs in = inputs({}, "CODE-1");
  auto frames = run([&]() -> asio::awaitable<std::vector<Frame>> {
    GatewayEnd gw = co_await start(in);
    std::vector<Frame> got;
    for (int i = 0; i < 3; ++i) got.push_back(co_await gw.next());
    co_await gw.send(KIND_ERROR, 0, "nope"sv);
    co_return got;
  }());
  EXPECT_EQ(text_of(frames[0]), "kite\n\n" + std::string(TOKEN));
  EXPECT_EQ(frames[1].kind, KIND_INVITE);
  EXPECT_EQ(text_of(frames[1]), "CODE-1");
  EXPECT_EQ(frames[2].kind, KIND_ACCESS);
  EXPECT_TRUE(frames[2].payload.empty());
  outcome();
}

struct RefusalCase {
  const char* name;
  std::string text;
  std::uint64_t max_mappings;
  SessionOutcome outcome;
  std::uint64_t hello_port_limit;
  std::string connection_error;
  std::uint64_t quota_used;
  std::vector<std::uint16_t> blocked;
};

class RefusalTest : public SessionTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, EachRefusalGivesItsOutcomeAndStateChanges) {
  const RefusalCase& c = GetParam();
  store(shared_->max_mappings, c.max_mappings);
  shared_->blocked_ports.set({7});
  SessionInputs in = inputs({80});
  run([&]() -> asio::awaitable<int> {
    GatewayEnd gw = co_await start(in);
    co_await gw.next();
    co_await gw.next();
    co_await gw.send(KIND_ERROR, 0, c.text);
    co_return 0;
  }());
  EXPECT_EQ(outcome(), c.outcome);
  EXPECT_EQ(load(shared_->hello_port_limit), c.hello_port_limit);
  EXPECT_EQ(shared_->connection_error.get(), c.connection_error);
  EXPECT_EQ(load(shared_->quota_used), c.quota_used);
  EXPECT_EQ(shared_->blocked_ports.get(), c.blocked);
  EXPECT_EQ(load(shared_->connected), 0u);
  EXPECT_NE(stderr_.find("client: 网关拒绝 —— " + c.text + "\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusalTest,
    ::testing::Values(
        RefusalCase{
            "name_taken", "slug-taken: kite", 1, SessionOutcome::OUTCOME_NAME_TAKEN, 0, "", 0, {7}},
        RefusalCase{"no_blank_is_no_name_refusal",
                    "slug-taken:kite",
                    1,
                    SessionOutcome::OUTCOME_RETRY,
                    0,
                    "",
                    0,
                    {7}},
        RefusalCase{"mapping_limit_without_plan",
                    "quota: 映射已满",
                    0,
                    SessionOutcome::OUTCOME_RETRY,
                    1,
                    "映射已满",
                    0,
                    {7}},
        RefusalCase{"mapping_limit_of_plan",
                    "quota: 映射已满",
                    3,
                    SessionOutcome::OUTCOME_RETRY,
                    3,
                    "映射已满",
                    0,
                    {7}},
        RefusalCase{"daily_quota",
                    "quota: daily traffic used up",
                    1,
                    SessionOutcome::OUTCOME_QUOTA,
                    0,
                    "",
                    1,
                    {7}},
        RefusalCase{"blocked_ports",
                    "blocked ports: 22, 445 and 99999",
                    1,
                    SessionOutcome::OUTCOME_RETRY,
                    0,
                    "",
                    0,
                    {22, 445}},
        RefusalCase{"blocked_none",
                    "blocked ports: none",
                    1,
                    SessionOutcome::OUTCOME_RETRY,
                    0,
                    "",
                    0,
                    {7}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionTest, TheInviteHintFollowsARefusalAskingForACode) {
  SessionInputs in = inputs({80});
  run([&]() -> asio::awaitable<int> {
    GatewayEnd gw = co_await start(in);
    co_await gw.next();
    co_await gw.next();
    co_await gw.send(KIND_ERROR, 0, "需要接入码"sv);
    co_return 0;
  }());
  outcome();
  auto refusal = stderr_.find("client: 网关拒绝 —— 需要接入码\n");
  auto hint = stderr_.find("client: 加 --invite <码> 再启动一次（会存进 id.ini，以后不用再给）\n");
  ASSERT_NE(refusal, std::string::npos);
  ASSERT_NE(hint, std::string::npos);
  EXPECT_LT(refusal, hint);
}

TEST_F(SessionTest, AnUnexpectedReplyOrAClosedConnectionIsRetried) {
  SessionInputs in = inputs({80});
  run([&]() -> asio::awaitable<int> {
    GatewayEnd gw = co_await start(in);
    co_await gw.next();
    co_await gw.next();
    co_await gw.send(KIND_ACCOUNT, 0, "v1|free|0|1|0|1|0"sv);
    co_return 0;
  }());
  EXPECT_EQ(outcome(), SessionOutcome::OUTCOME_RETRY);
  EXPECT_NE(stderr_.find("client: 握手中收到意外帧\n"), std::string::npos);
}

TEST_F(SessionTest, TheWelcomeMarksTheStateAndPrintsTheBanner) {
  shared_->connection_error.set("old");
  shared_->targets.set({{22, "nas.lan"}});
  SessionInputs in = inputs({8080, 22});
  auto connected = run([&]() -> asio::awaitable<std::uint64_t> {
    GatewayEnd gw = co_await start_welcomed(in);
    // The account line proves the welcome was handled before the connection closes.
    co_await gw.send(KIND_ACCOUNT, 0, "v1|vip|5|100|7|3|99"sv);
    co_await sleep_for(50ms);
    co_return load(shared_->connected);  // read while the session still runs
  }());
  EXPECT_EQ(connected, 1u);
  EXPECT_EQ(load(shared_->front_http_port), 80u);
  EXPECT_EQ(load(shared_->front_https_port), 443u);
  EXPECT_EQ(load(shared_->ownership), OWNERSHIP_MINE);
  EXPECT_EQ(shared_->connection_error.get(), "");
  EXPECT_EQ(shared_->plan.get(), "vip");
  EXPECT_EQ(load(shared_->max_mappings), 3u);
  EXPECT_EQ(load(shared_->plan_ends_at), 99u);
  EXPECT_NE(stdout_.find("\n  ✔ 已就绪  https://kite.example.test\n"
                         "    https://kite-8080.example.test  ->  http://127.0.0.1:8080\n"
                         "    https://kite-22.example.test  ->  http://nas.lan:22\n\n"),
            std::string::npos)
      << stdout_;
}

TEST_F(SessionTest, AStreamIsRelayedToTheLocalServiceAndClosed) {
  tcp::acceptor local(io_, {asio::ip::address_v4::loopback(), 0});
  std::uint16_t port = local.local_endpoint().port();
  SessionInputs in = inputs({port});
  auto result = run([&]() -> asio::awaitable<std::vector<Frame>> {
    GatewayEnd gw = co_await start_welcomed(in);
    co_await gw.send(KIND_OPEN, 7, std::to_string(port) + "\nGET / HTTP/1.1\r\n\r\n");
    tcp::socket service = co_await local.async_accept(asio::use_awaitable);
    std::string request(18, '\0');
    co_await asio::async_read(service, asio::buffer(request), asio::use_awaitable);
    co_await gw.send(KIND_DATA, 7, "more"sv);
    std::string more(4, '\0');
    co_await asio::async_read(service, asio::buffer(more), asio::use_awaitable);
    co_await asio::async_write(service, asio::buffer(std::string("answer")), asio::use_awaitable);
    service.shutdown(tcp::socket::shutdown_send);
    std::vector<Frame> got;
    while (got.empty() || got.back().kind != KIND_CLOSE)
      got.push_back(co_await gw.next_non_heartbeat());
    if (request != "GET / HTTP/1.1\r\n\r\n" || more != "more")
      throw std::runtime_error("local side got " + request);
    co_return got;
  }());
  ASSERT_EQ(result.size(), 3u);
  EXPECT_EQ(result[0].kind, KIND_DATA);
  EXPECT_EQ(text_of(result[0]), "answer");
  EXPECT_EQ(result[1].kind, KIND_DATA);
  EXPECT_TRUE(result[1].payload.empty());
  EXPECT_EQ(result[2].kind, KIND_CLOSE);
  for (const auto& f : result) EXPECT_EQ(f.id, 7u);
}

TEST_F(SessionTest, AnUnreachableServiceGetsTheBadGatewayReply) {
  tcp::acceptor closed(io_, {asio::ip::address_v4::loopback(), 0});
  std::uint16_t port = closed.local_endpoint().port();
  closed.close();
  SessionInputs in = inputs({port});
  auto result = run([&]() -> asio::awaitable<std::vector<Frame>> {
    GatewayEnd gw = co_await start_welcomed(in);
    co_await gw.send(KIND_OPEN, 3,
                     std::to_string(port) + "\nGET / HTTP/1.1\r\nAccept: text/html\r\n\r\n");
    std::vector<Frame> got;
    while (got.empty() || got.back().kind != KIND_CLOSE)
      got.push_back(co_await gw.next_non_heartbeat());
    co_return got;
  }());
  ASSERT_EQ(result.size(), 3u);
  EXPECT_EQ(text_of(result[0]).rfind(
                "HTTP/1.1 502 Bad Gateway\r\ncontent-type: text/html; charset=utf-8\r\n", 0),
            0u);
  EXPECT_NE(text_of(result[0]).find("127.0.0.1:" + std::to_string(port)), std::string::npos);
  EXPECT_TRUE(result[1].payload.empty());
  EXPECT_EQ(result[2].kind, KIND_CLOSE);
}

TEST_F(SessionTest, FramesForUnknownIdsAreDroppedAndTheLoopGoesOn) {
  SessionInputs in = inputs({80});
  auto result = run([&]() -> asio::awaitable<Frame> {
    GatewayEnd gw = co_await start_welcomed(in);
    co_await gw.send(KIND_DATA, 99, "lost"sv);
    co_await gw.send(KIND_CLOSE, 98, ""sv);
    co_await gw.send(KIND_HELLO, 0, "ignored"sv);
    co_await gw.send(KIND_ACCOUNT, 7, "v1|vip|1|2|3|4|5"sv);
    co_await gw.send(KIND_ACCOUNT, 0, "v1|bad plan|1|2|3|4|5"sv);
    co_await gw.send(KIND_ERROR, 0, "maintenance at 3:00"sv);
    // The first frame the client sends after all that is its answer to this open.
    co_await gw.send(KIND_OPEN, 5, "1\n"sv);
    co_return co_await gw.next_non_heartbeat();
  }());
  EXPECT_EQ(result.id, 5u);
  EXPECT_EQ(shared_->plan.get(), "free");
  EXPECT_NE(stderr_.find("client: 网关说 —— maintenance at 3:00\n"), std::string::npos);
}

TEST_F(SessionTest, AQuotaNoticeClosesEveryStreamAndEndsWithTheQuotaOutcome) {
  tcp::acceptor local(io_, {asio::ip::address_v4::loopback(), 0});
  std::uint16_t port = local.local_endpoint().port();
  SessionInputs in = inputs({port});
  auto local_saw_end = run([&]() -> asio::awaitable<bool> {
    GatewayEnd gw = co_await start_welcomed(in);
    co_await gw.send(KIND_OPEN, 1, std::to_string(port) + "\n");
    tcp::socket service = co_await local.async_accept(asio::use_awaitable);
    co_await gw.send(KIND_ERROR, 0, "quota: daily limit reached"sv);
    char byte;
    auto [ec, n] = co_await service.async_read_some(
        asio::buffer(&byte, 1), asio::experimental::as_tuple(asio::use_awaitable));
    co_return ec == asio::error::eof;
  }());
  EXPECT_TRUE(local_saw_end);
  EXPECT_EQ(outcome(), SessionOutcome::OUTCOME_QUOTA);
  EXPECT_EQ(load(shared_->quota_used), 1u);
  EXPECT_EQ(load(shared_->connected), 0u);
}

TEST_F(SessionTest, AnAccountAllowingMorePortsEndsTheSessionToReRegister) {
  shared_->ports.set({1, 2, 3});
  store(shared_->hello_port_limit, 1);
  SessionInputs in = inputs({1});
  run([&]() -> asio::awaitable<int> {
    GatewayEnd gw = co_await start_welcomed(in);
    co_await gw.send(KIND_ACCOUNT, 0, "v1|vip|0|100|0|3|0"sv);
    co_return 0;
  }());
  EXPECT_EQ(outcome(), SessionOutcome::OUTCOME_RETRY);
  EXPECT_EQ(load(shared_->hello_port_limit), 0u);
}

TEST_F(SessionTest, HeartbeatsFollowTheInjectedInterval) {
  timings_.heartbeat_interval = 40ms;
  SessionInputs in = inputs({});
  auto gaps = run([&]() -> asio::awaitable<std::vector<std::chrono::microseconds>> {
    GatewayEnd gw = co_await start_welcomed(in);
    auto last = std::chrono::steady_clock::now();
    std::vector<std::chrono::microseconds> got;
    for (int i = 0; i < 3; ++i) {
      Frame frame = co_await gw.next();
      if (frame.kind != KIND_HEARTBEAT || frame.id != 0 || !frame.payload.empty())
        throw std::runtime_error("not a heartbeat");
      auto now = std::chrono::steady_clock::now();
      got.push_back(std::chrono::duration_cast<std::chrono::microseconds>(now - last));
      last = now;
    }
    co_return got;
  }());
  // Each heartbeat waits a whole interval after the previous one (the first after the
  // welcome), so three take at least three intervals; late reads may shift single gaps.
  std::chrono::microseconds total{};
  for (auto gap : gaps) {
    total += gap;
    EXPECT_GE(gap, 20ms);
    EXPECT_LT(gap, 1000ms);
  }
  EXPECT_GE(total, 120ms);
}

}  // namespace
}  // namespace quillmar
