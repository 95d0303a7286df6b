// One gateway session against a scripted gateway on loopback: the test plays the
// gateway frame by frame, with real local services behind the mapped ports.
#include "session/session.hpp"

#include <gtest/gtest.h>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/read.hpp>
#include <asio/use_future.hpp>
#include <asio/write.hpp>
#include <functional>
#include <map>
#include <thread>

#include "async_test.hpp"
#include "proto/connect.hpp"
#include "proto/frame.hpp"
#include "proto/shared_writer.hpp"
#include "proto/text.hpp"
#include "scoped_env.hpp"
#include "stalled_listener.hpp"

namespace quillmar {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;
using namespace std::string_view_literals;
using namespace asio::experimental::awaitable_operators;
constexpr auto as_tuple_awaitable = asio::experimental::as_tuple(asio::use_awaitable);

constexpr std::string_view TOKEN = "0123456789abcdef0123456789abcdef";
constexpr auto STEP_LIMIT = 5s;  // any one step of a scenario; a hang fails, not waits

std::string text_of(const Frame& frame) { return std::string(as_text(frame.payload)); }

std::string describe(const Frame& frame) {
  return "kind " + std::to_string(frame.kind) + " id " + std::to_string(frame.id) + " " +
         quoted_form(text_of(frame).substr(0, 80));
}

Frame frame_of(std::uint8_t kind, std::uint32_t id, std::string_view payload) {
  return new_frame(kind, id, as_bytes(payload));
}

// The awaited value, or an exception that fails the scenario after the limit.
template <class T>
asio::awaitable<T> within(asio::awaitable<T> task, std::string what,
                          std::chrono::milliseconds limit = STEP_LIMIT) {
  auto outcome = co_await (std::move(task) || sleep_for(limit));
  if (outcome.index() == 1) throw std::runtime_error("timed out: " + what);
  co_return std::move(std::get<0>(outcome));
}

// The gateway's end of the control connection.
struct GatewayEnd {
  std::unique_ptr<ReadHalf> reader;
  SharedWriterPtr writer;

  asio::awaitable<Frame> next() {
    auto read = co_await within(read_frame(*reader), "a frame from the client");
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
    if (!sent) throw std::runtime_error("gateway send failed: " + sent.error().display());
  }
  // True when the client ends the connection (frames before the end are skipped).
  asio::awaitable<bool> closed() {
    for (;;) {
      auto read = co_await within(read_frame(*reader), "the end of the control connection");
      if (!read || !read.value()) co_return true;
    }
  }
};

// The gateway's raw bytes as one text: a 9-byte header and the payload.
std::string wire(std::uint8_t kind, std::uint32_t id, std::string_view payload) {
  auto header = encode_header(kind, id, payload.size());
  return std::string(header.begin(), header.end()) + std::string(payload);
}

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() : gateway_(io_, {asio::ip::address_v4::loopback(), 0}) {
    shared_->tls_mode = TlsMode::TLS_OFF;
    shared_->key_path = dir_.path() / "id.ini";
  }
  ~SessionTest() override {
    // A session still waiting is dropped and run to its end first, so that nothing of
    // it outlives the fixture.
    if (outcome_.valid() && !session_ended()) {
      drop_.emit(asio::cancellation_type::terminal);
      auto deadline = std::chrono::steady_clock::now() + 10s;
      while (!session_ended() && std::chrono::steady_clock::now() < deadline) {
        io_.restart();
        io_.run_for(5ms);
      }
    }
  }

  SessionInputs inputs(std::vector<std::uint16_t> ports, std::string invite = "") {
    return SessionInputs{"127.0.0.1:" + std::to_string(gateway_.local_endpoint().port()),
                         "example.test",
                         "kite",
                         std::string(TOKEN),
                         std::move(ports),
                         std::move(invite)};
  }

  // Starts the session (which the test may drop through drop_) and accepts its
  // connection.
  asio::awaitable<tcp::socket> start_raw(SessionInputs in) {
    SessionEnvironment environment{io_.get_executor(), timings_};
    outcome_ =
        asio::co_spawn(io_, run_session(std::move(in), shared_, punch_, control_rx_, environment),
                       asio::bind_cancellation_slot(drop_.slot(), asio::use_future));
    tcp::socket socket =
        co_await within(gateway_.async_accept(asio::use_awaitable), "the client's connection");
    co_return socket;
  }

  asio::awaitable<GatewayEnd> start(SessionInputs in) {
    tcp::socket socket = co_await start_raw(std::move(in));
    auto halves = split_tcp(std::move(socket));
    co_return GatewayEnd{std::move(halves.read), std::make_shared<SharedWriter>(
                                                     io_.get_executor(), std::move(halves.write))};
  }

  // Reads the handshake frames and welcomes the session.
  asio::awaitable<GatewayEnd> start_welcomed(SessionInputs in) {
    GatewayEnd gw = co_await start(std::move(in));
    co_await gw.next();  // hello
    Frame frame = co_await gw.next();
    if (frame.kind == KIND_INVITE) co_await gw.next();  // then the access frame
    co_await gw.send(KIND_WELCOME, 0, "|pubport=80|pubtls=443"sv);
    co_return gw;
  }

  bool session_ended() { return outcome_.wait_for(0s) == std::future_status::ready; }

  // Inside a scenario: until the session has returned its outcome. Its connection may
  // stay open after that, kept by the heartbeat.
  asio::awaitable<void> session_end() {
    for (int i = 0; i < 1000 && !session_ended(); ++i) co_await sleep_for(5ms);
    if (!session_ended()) throw std::runtime_error("the session did not end");
  }

  // Runs the session to its end; what it prints meanwhile is added to the captures.
  SessionOutcome outcome() {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!session_ended() && std::chrono::steady_clock::now() < deadline) {
      io_.restart();
      io_.run_for(10ms);
    }
    stdout_ += testing::internal::GetCapturedStdout();
    stderr_ += testing::internal::GetCapturedStderr();
    if (!session_ended()) throw std::runtime_error("the session did not end");
    return outcome_.get();
  }

  template <class T>
  T run(asio::awaitable<T> scenario) {
    std::fflush(stdout);  // what is still buffered belongs to the test run, not the capture
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::exception_ptr failure;
    T result{};
    try {
      result = test::run_async(io_, std::move(scenario), 60s);
    } catch (...) {
      failure = std::current_exception();
    }
    stdout_ = testing::internal::GetCapturedStdout();
    stderr_ = testing::internal::GetCapturedStderr();
    if (failure) std::rethrow_exception(failure);
    return result;
  }

  asio::io_context io_;
  tcp::acceptor gateway_;
  test::TempDir dir_;
  SharedStatePtr shared_ = std::make_shared<SharedState>();
  PunchOptions punch_;
  // Open, as while the console runs; tests that need it closed reset the sender.
  std::pair<ControlSender, ControlReceiver> control_ = make_queue<SessionControl>(0);
  std::optional<ControlSender> control_tx_{std::move(control_.first)};
  ControlReceiver& control_rx_ = control_.second;
  SessionTimings timings_;
  test::ScopedEnv no_debug_{"TUNNEL_DEBUG", std::nullopt};
  asio::cancellation_signal drop_;
  std::future<SessionOutcome> outcome_;
  std::string stdout_;
  std::string stderr_;
};

// --- handshake --------------------------------------------------------------------------

TEST_F(SessionTest, HandshakeBytesAreHelloInviteAccessThenNothingUntilTheReply) {
  shared_->access.set({{443, std::string(64, 'a')}, {22, std::string(64, 'b')}});
  SessionInputs in = inputs({80, 443}, "CODE-1");
  auto bytes = run([&]() -> asio::awaitable<std::string> {
    tcp::socket socket = co_await start_raw(in);
    std::string hello = "kite\n80,443\n" + std::string(TOKEN);
    std::string access = "443=" + std::string(64, 'a');
    std::string expected =
        wire(KIND_HELLO, 0, hello) + wire(KIND_INVITE, 0, "CODE-1") + wire(KIND_ACCESS, 0, access);
    std::string got(expected.size(), '\0');
    co_await within(asio::async_read(socket, asio::buffer(got), asio::use_awaitable),
                    "the handshake bytes");
    // Nothing more comes while the gateway has not answered.
    char extra = 0;
    auto more = co_await (socket.async_read_some(asio::buffer(&extra, 1), as_tuple_awaitable) ||
                          sleep_for(200ms));
    if (more.index() == 0) throw std::runtime_error("the client sent more before the reply");
    if (got != expected) throw std::runtime_error("handshake bytes: " + quoted_form(got));
    co_return got;
  }());
  EXPECT_FALSE(bytes.empty());
}

TEST_F(SessionTest, WithoutInviteOrPortsTheAccessFrameFollowsTheHelloAndIsEmpty) {
  SessionInputs in = inputs({});
  auto frames = run([&]() -> asio::awaitable<std::vector<Frame>> {
    GatewayEnd gw = co_await start(in);
    std::vector<Frame> got;
    for (int i = 0; i < 2; ++i) got.push_back(co_await gw.next());
    co_await gw.send(KIND_ERROR, 0, "nope"sv);
    co_await session_end();
    co_return got;
  }());
  EXPECT_EQ(frames[0].kind, KIND_HELLO);
  EXPECT_EQ(text_of(frames[0]), "kite\n\n" + std::string(TOKEN));
  EXPECT_EQ(frames[1].kind, KIND_ACCESS);
  EXPECT_EQ(frames[1].id, 0u);
  EXPECT_TRUE(frames[1].payload.empty());
  EXPECT_EQ(outcome(), SessionOutcome::OUTCOME_RETRY);
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
  store(shared_->tls_active, 1);  // left by an earlier session
  shared_->blocked_ports.set({7});
  SessionInputs in = inputs({80});
  run([&]() -> asio::awaitable<int> {
    GatewayEnd gw = co_await start(in);
    co_await gw.next();
    co_await gw.next();
    co_await gw.send(KIND_ERROR, 0, c.text);
    co_await session_end();
    co_return 0;
  }());
  EXPECT_EQ(outcome(), c.outcome);
  EXPECT_EQ(load(shared_->hello_port_limit), c.hello_port_limit);
  EXPECT_EQ(shared_->connection_error.get(), c.connection_error);
  EXPECT_EQ(load(shared_->quota_used), c.quota_used);
  EXPECT_EQ(shared_->blocked_ports.get(), c.blocked);
  EXPECT_EQ(load(shared_->connected), 0u);
  EXPECT_EQ(load(shared_->ownership), OWNERSHIP_NONE);
  EXPECT_EQ(load(shared_->tls_active), 0u) << "the plain connection was opened";
  EXPECT_EQ(stderr_, "client: 网关拒绝 —— " + c.text + "\n");
  EXPECT_EQ(stdout_, "");
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
        RefusalCase{"tunnel_limit",
                    "quota:隧道数量超出",
                    2,
                    SessionOutcome::OUTCOME_RETRY,
                    2,
                    "隧道数量超出",
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
        RefusalCase{
            "blocked_none", "blocked ports: none", 1, SessionOutcome::OUTCOME_RETRY, 0, "", 0, {7}},
        RefusalCase{
            "any_other_text", "maintenance", 1, SessionOutcome::OUTCOME_RETRY, 0, "", 0, {7}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionTest, TheInviteHintFollowsTheRefusalLineWhateverItsPrefix) {
  for (std::string text : {"需要接入码", "slug-taken: 接入码 kite"}) {
    SessionInputs in = inputs({80});
    run([&]() -> asio::awaitable<int> {
      GatewayEnd gw = co_await start(in);
      co_await gw.next();
      co_await gw.next();
      co_await gw.send(KIND_ERROR, 0, text);
      co_await session_end();
      co_return 0;
    }());
    outcome();
    EXPECT_EQ(stderr_, "client: 网关拒绝 —— " + text +
                           "\n"
                           "client: 加 --invite <码> 再启动一次（会存进 id.ini，以后不用再给）\n");
  }
}

TEST_F(SessionTest, AnUnexpectedReplyOrAClosedConnectionIsRetried) {
  struct Case {
    const char* name;
    std::optional<std::uint8_t> reply;  // none: the gateway closes the connection
  } cases[] = {{"account line", KIND_ACCOUNT}, {"open request", KIND_OPEN}, {"closed", {}}};
  for (const auto& c : cases) {
    SessionInputs in = inputs({80});
    run([&]() -> asio::awaitable<int> {
      GatewayEnd gw = co_await start(in);
      co_await gw.next();
      co_await gw.next();
      if (c.reply) {
        co_await gw.send(*c.reply, 0, "v1|free|0|1|0|1|0"sv);
      } else {
        gw.writer.reset();  // ends the gateway's direction
        gw.reader.reset();
      }
      co_await session_end();
      co_return 0;
    }());
    EXPECT_EQ(outcome(), SessionOutcome::OUTCOME_RETRY) << c.name;
    EXPECT_EQ(stderr_, "client: 握手中收到意外帧\n") << c.name;
    EXPECT_EQ(load(shared_->connected), 0u) << c.name;
  }
}

TEST_F(SessionTest, ASilentGatewayKeepsTheSessionWaitingUntilItIsDropped) {
  SessionInputs in = inputs({80});
  bool closed = run([&]() -> asio::awaitable<bool> {
    GatewayEnd gw = co_await start(in);
    co_await gw.next();
    co_await gw.next();
    co_await sleep_for(500ms);
    if (session_ended()) throw std::runtime_error("the session gave up waiting for the reply");
    drop_.emit(asio::cancellation_type::terminal);  // as the supervisor does on a reload
    co_return co_await gw.closed();
  }());
  EXPECT_TRUE(closed) << "dropping the session closes its connection";
  EXPECT_EQ(stderr_, "") << "a dropped session reports nothing";
  EXPECT_EQ(load(shared_->connected), 0u);
}

TEST_F(SessionTest, TheWelcomeMarksTheStateAndPrintsTheBanner) {
  shared_->connection_error.set("old");
  shared_->blocked_ports.set({22});
  store(shared_->quota_used, 1);
  shared_->targets.set({{22, "nas.lan"}});
  SessionInputs in = inputs({8080, 22});
  auto connected = run([&]() -> asio::awaitable<std::uint64_t> {
    GatewayEnd gw = co_await start_welcomed(in);
    // The account line proves the welcome was handled before the connection closes.
    co_await gw.send(KIND_ACCOUNT, 0, "v1|vip|5|100|7|3|99"sv);
    for (int i = 0; i < 200 && shared_->plan.get() != "vip"; ++i) co_await sleep_for(5ms);
    co_return load(shared_->connected);  // read while the session still runs
  }());
  EXPECT_EQ(connected, 1u);
  EXPECT_EQ(load(shared_->front_http_port), 80u);
  EXPECT_EQ(load(shared_->front_https_port), 443u);
  EXPECT_EQ(load(shared_->ownership), OWNERSHIP_MINE);
  EXPECT_EQ(load(shared_->quota_used), 0u);
  EXPECT_EQ(shared_->blocked_ports.get(), std::vector<std::uint16_t>{});
  EXPECT_EQ(shared_->connection_error.get(), "");
  EXPECT_EQ(shared_->plan.get(), "vip");
  EXPECT_EQ(load(shared_->max_mappings), 3u);
  EXPECT_EQ(load(shared_->plan_ends_at), 99u);
  EXPECT_EQ(stdout_,
            "\n  ✔ 已就绪  https://kite.example.test\n"
            "    https://kite-8080.example.test  ->  http://127.0.0.1:8080\n"
            "    https://kite-22.example.test  ->  http://nas.lan:22\n\n");
  EXPECT_EQ(outcome(), SessionOutcome::OUTCOME_RETRY) << "the connection's end ends the session";
  EXPECT_EQ(load(shared_->connected), 0u);
}

TEST_F(SessionTest, TheFrontDoorLineIsPrintedOnlyWithTunnelDebug) {
  for (bool debug : {false, true}) {
    test::ScopedEnv env("TUNNEL_DEBUG", debug ? std::optional<std::string>("") : std::nullopt);
    SessionInputs in = inputs({});
    run([&]() -> asio::awaitable<int> {
      GatewayEnd gw = co_await start_welcomed(in);
      for (int i = 0; i < 400 && load(shared_->connected) == 0; ++i) co_await sleep_for(5ms);
      co_return 0;
    }());
    outcome();
    const std::string line = "client: 正门端口 http=80 / https=443（0 = 没配，被撤销后无法回落）\n";
    if (debug) {
      EXPECT_TRUE(stdout_.starts_with(line)) << stdout_;
    } else {
      EXPECT_EQ(stdout_.find("正门端口"), std::string::npos) << stdout_;
    }
  }
}

// --- visitor streams ----------------------------------------------------------------------

// A local service of the test: a listener and the connections it accepted, by label.
struct LocalSide {
  explicit LocalSide(asio::io_context& io) : io(io) {}

  std::uint16_t listen(char service) {
    auto& acceptor =
        acceptors.try_emplace(service, io, tcp::endpoint{asio::ip::address_v4::loopback(), 0})
            .first->second;
    return acceptor.local_endpoint().port();
  }
  asio::awaitable<void> accept(char service, std::string label) {
    tcp::socket socket = co_await within(acceptors.at(service).async_accept(asio::use_awaitable),
                                         "a local connection for " + label);
    connections.insert_or_assign(label, std::move(socket));
  }
  tcp::socket& operator[](const std::string& label) { return connections.at(label); }

  asio::awaitable<std::string> read_exactly(std::string label, std::size_t n) {
    std::string got(n, '\0');
    auto [ec, read] =
        co_await within(asio::async_read((*this)[label], asio::buffer(got), as_tuple_awaitable),
                        label + " reading");
    if (ec) throw std::runtime_error(label + ": " + ec.message() + " after " + quoted_form(got));
    co_return got;
  }
  // True when the next read sees the end of input.
  asio::awaitable<bool> sees_end(std::string label) {
    char byte = 0;
    auto [ec, n] =
        co_await within((*this)[label].async_read_some(asio::buffer(&byte, 1), as_tuple_awaitable),
                        label + " waiting for its end of input");
    co_return ec == asio::error::eof;
  }

  asio::io_context& io;
  std::map<char, tcp::acceptor> acceptors;
  std::map<std::string, tcp::socket> connections;
};

// One step of a frame-loop scenario. Texts may name the local services' ports as
// "{A}" and "{B}", and a port where nothing listens as "{dead}".
struct Step {
  enum Op {
    gateway_sends,   // the gateway sends a frame
    client_sends,    // the client's next frame (heartbeats skipped) is exactly this one
    accept,          // service accepts its next connection, called label
    local_reads,     // label receives exactly the text
    local_writes,    // label sends the text
    local_sees_end,  // label's next read sees the end of input
    local_closes,    // label closes
    sync,            // a round trip: every frame sent before has been dispatched
    check,           // the state meets the check
    gateway_closes,  // the gateway ends its direction of the connection
  } op = gateway_sends;
  std::uint8_t kind = 0;
  std::uint32_t id = 0;
  std::string text;
  std::string label;
  char service = 0;
  std::function<void(SharedState&)> verify;
};

Step make_step(Step::Op op, std::uint8_t kind = 0, std::uint32_t id = 0, std::string text = "",
               std::string label = "", char service = 0) {
  Step step;
  step.op = op;
  step.kind = kind;
  step.id = id;
  step.text = std::move(text);
  step.label = std::move(label);
  step.service = service;
  return step;
}
Step gw(std::uint8_t kind, std::uint32_t id, std::string text) {
  return make_step(Step::gateway_sends, kind, id, std::move(text));
}
Step expect(std::uint8_t kind, std::uint32_t id, std::string text = "") {
  return make_step(Step::client_sends, kind, id, std::move(text));
}
Step accept(char service, std::string label) {
  return make_step(Step::accept, 0, 0, "", std::move(label), service);
}
Step reads(std::string label, std::string text) {
  return make_step(Step::local_reads, 0, 0, std::move(text), std::move(label));
}
Step writes(std::string label, std::string text) {
  return make_step(Step::local_writes, 0, 0, std::move(text), std::move(label));
}
Step sees_end(std::string label) {
  return make_step(Step::local_sees_end, 0, 0, "", std::move(label));
}
Step closes(std::string label) { return make_step(Step::local_closes, 0, 0, "", std::move(label)); }
Step sync() { return make_step(Step::sync); }
Step gateway_closes() { return make_step(Step::gateway_closes); }
Step check(std::function<void(SharedState&)> verify) {
  Step step = make_step(Step::check);
  step.verify = std::move(verify);
  return step;
}

struct FrameLoopCase {
  const char* name;
  std::vector<Step> steps;
  std::optional<SessionOutcome> ends_with;  // none: the session is still running
  std::vector<std::string> stderr_lines;    // exactly these lines, in order
};

class FrameLoopTest : public SessionTest {
 protected:
  std::string fill(std::string text) {
    for (auto [name, port] : {std::pair<std::string, std::uint16_t>{"{A}", port_a_},
                              {"{B}", port_b_},
                              {"{dead}", dead_port_}}) {
      for (auto at = text.find(name); at != std::string::npos; at = text.find(name))
        text.replace(at, name.size(), std::to_string(port));
    }
    return text;
  }

  // Opens a stream to the port where nothing listens and waits for its "502" reply:
  // the frames sent before it have been dispatched by then.
  asio::awaitable<void> round_trip(GatewayEnd& gw) {
    const std::uint32_t id = next_sync_id_++;
    co_await gw.send(KIND_OPEN, id, std::to_string(dead_port_) + "\n");
    Frame reply = co_await gw.next_non_heartbeat();
    Frame end = co_await gw.next_non_heartbeat();
    Frame close = co_await gw.next_non_heartbeat();
    if (reply.id != id || !text_of(reply).starts_with("HTTP/1.1 502 Bad Gateway\r\n") ||
        end.id != id || end.kind != KIND_DATA || !end.payload.empty() || close.id != id ||
        close.kind != KIND_CLOSE)
      throw std::runtime_error("round trip got " + describe(reply) + ", " + describe(end) + ", " +
                               describe(close));
  }

  asio::awaitable<void> play(GatewayEnd& gw, LocalSide& local, const Step& step) {
    switch (step.op) {
      case Step::gateway_sends:
        co_await gw.send(step.kind, step.id, fill(step.text));
        break;
      case Step::client_sends: {
        Frame got = co_await gw.next_non_heartbeat();
        Frame want = frame_of(step.kind, step.id, fill(step.text));
        if (got.kind != want.kind || got.id != want.id || got.payload != want.payload)
          throw std::runtime_error("expected " + describe(want) + ", got " + describe(got));
        break;
      }
      case Step::accept:
        co_await local.accept(step.service, step.label);
        break;
      case Step::local_reads: {
        std::string got = co_await local.read_exactly(step.label, step.text.size());
        if (got != step.text)
          throw std::runtime_error(step.label + " read " + quoted_form(got) + ", expected " +
                                   quoted_form(step.text));
        break;
      }
      case Step::local_writes:
        co_await asio::async_write(local[step.label], asio::buffer(step.text), asio::use_awaitable);
        break;
      case Step::local_sees_end: {
        bool ended = co_await local.sees_end(step.label);
        if (!ended) throw std::runtime_error(step.label + " did not see the end of its input");
        break;
      }
      case Step::local_closes:
        local[step.label].close();
        break;
      case Step::sync:
        co_await round_trip(gw);
        break;
      case Step::check:
        step.verify(*shared_);
        break;
      case Step::gateway_closes:
        gw.writer.reset();  // the write half goes, and with it the gateway's direction
        break;
    }
  }

  void run_case(const FrameLoopCase& c) {
    SCOPED_TRACE(c.name);
    LocalSide local(io_);
    port_a_ = local.listen('A');
    port_b_ = local.listen('B');
    {
      tcp::acceptor dead(io_, {asio::ip::address_v4::loopback(), 0});
      dead_port_ = dead.local_endpoint().port();
    }
    SessionInputs in = inputs({port_a_, port_b_});
    std::size_t done = 0;
    try {
      run([&]() -> asio::awaitable<int> {
        GatewayEnd gw = co_await start_welcomed(in);
        for (const Step& step : c.steps) {
          co_await play(gw, local, step);
          ++done;
        }
        if (c.ends_with) {
          co_await session_end();
        } else {
          co_await sleep_for(20ms);
          if (session_ended()) throw std::runtime_error("the session ended");
          if (load(shared_->connected) != 1) throw std::runtime_error("not connected");
        }
        co_return 0;
      }());
    } catch (const std::exception& e) {
      ADD_FAILURE() << "step " << done + 1 << ": " << e.what() << "\nstderr: " << stderr_;
      return;
    }
    // A session still running ends with its connection, closed by the scenario's end.
    SessionOutcome ended = outcome();
    if (c.ends_with) {
      EXPECT_EQ(ended, *c.ends_with);
    }
    EXPECT_EQ(load(shared_->connected), 0u);
    std::string expected_err;
    for (const auto& line : c.stderr_lines) expected_err += line + "\n";
    EXPECT_EQ(stderr_, expected_err);
  }

  std::uint16_t port_a_ = 0;
  std::uint16_t port_b_ = 0;
  std::uint16_t dead_port_ = 0;
  std::uint32_t next_sync_id_ = 1000;
};

TEST_F(FrameLoopTest, DispatchesEachFrameByKindAndStreamId) {
  const FrameLoopCase cases[] = {
      {"frames for unknown ids are dropped and nothing goes back",
       {gw(KIND_DATA, 99, "lost"), gw(KIND_HALF_CLOSE, 97, ""), gw(KIND_CLOSE, 98, ""),
        gw(KIND_ERROR, 96, "gone"), sync(), gw(KIND_OPEN, 5, "{A}\nhello"), accept('A', "a"),
        reads("a", "hello"), writes("a", "hi"), expect(KIND_DATA, 5, "hi")},
       std::nullopt,
       {}},
      {"data and half-close reach the stream; its answer flows back after the end of input",
       {gw(KIND_OPEN, 5, "{A}\nGET"), accept('A', "a"), reads("a", "GET"),
        gw(KIND_DATA, 5, " more"), reads("a", " more"), gw(KIND_HALF_CLOSE, 5, ""), sees_end("a"),
        writes("a", "answer"), expect(KIND_DATA, 5, "answer"), closes("a"), expect(KIND_DATA, 5),
        expect(KIND_CLOSE, 5)},
       std::nullopt,
       {}},
      {"an empty data frame ends the local input; later data for the stream is not written",
       {gw(KIND_OPEN, 5, "{A}\n"), accept('A', "a"), gw(KIND_DATA, 5, "one"), gw(KIND_DATA, 5, ""),
        gw(KIND_DATA, 5, "never"), reads("a", "one"), sees_end("a"), writes("a", "x"),
        expect(KIND_DATA, 5, "x"), closes("a"), expect(KIND_DATA, 5), expect(KIND_CLOSE, 5)},
       std::nullopt,
       {}},
      {"close from the gateway removes the stream; the local answer still flows back",
       {gw(KIND_OPEN, 5, "{A}\n"), accept('A', "a"), gw(KIND_DATA, 5, "one"), gw(KIND_CLOSE, 5, ""),
        gw(KIND_DATA, 5, "dropped"), reads("a", "one"), sees_end("a"), writes("a", "bye"),
        expect(KIND_DATA, 5, "bye"), closes("a"), expect(KIND_DATA, 5), expect(KIND_CLOSE, 5)},
       std::nullopt,
       {}},
      {"an error with a stream id ends that stream and is no notice",
       {gw(KIND_OPEN, 6, "{A}\n"), accept('A', "a"), gw(KIND_ERROR, 6, "stream refused"),
        sees_end("a"), closes("a"), expect(KIND_DATA, 6), expect(KIND_CLOSE, 6)},
       std::nullopt,
       {}},
      {"an error with id 0 is a notice that changes nothing else",
       {gw(KIND_ERROR, 0, "maintenance at 3:00"), sync(),
        check([](SharedState& s) { EXPECT_EQ(load(s.quota_used), 0u); })},
       std::nullopt,
       {"client: 网关说 —— maintenance at 3:00"}},
      {"a reused id replaces the stream; the old stream's end leaves the new one in place",
       {gw(KIND_OPEN, 5, "{A}\none"), accept('A', "old"), reads("old", "one"),
        gw(KIND_OPEN, 5, "{B}\ntwo"), accept('B', "new"), reads("new", "two"), sees_end("old"),
        closes("old"), expect(KIND_DATA, 5), expect(KIND_CLOSE, 5), sync(),
        gw(KIND_DATA, 5, "three"), reads("new", "three"), writes("new", "four"),
        expect(KIND_DATA, 5, "four")},
       std::nullopt,
       {}},
      {"an account line is stored; one that does not parse or has a stream id is not",
       {gw(KIND_ACCOUNT, 7, "v1|vip|1|2|3|4|5"), gw(KIND_ACCOUNT, 0, "v1|bad plan|1|2|3|4|5"),
        gw(KIND_ACCOUNT, 0, "v1|pro|1|2|3|4|5|"), gw(KIND_ACCOUNT, 0, "v2|pro|1|2|3|4|5"), sync(),
        check([](SharedState& s) {
          EXPECT_EQ(s.plan.get(), "free");
          EXPECT_EQ(load(s.usage_limit), INITIAL_USAGE_LIMIT);
          EXPECT_EQ(load(s.max_mappings), 1u);
        }),
        gw(KIND_ACCOUNT, 0, " v1|pro|5|100|7|1|99\n"), sync(), check([](SharedState& s) {
          EXPECT_EQ(s.plan.get(), "pro");
          EXPECT_EQ(load(s.usage_used), 5u);
          EXPECT_EQ(load(s.usage_limit), 100u);
          EXPECT_EQ(load(s.usage_reset_at), 7u);
          EXPECT_EQ(load(s.max_mappings), 1u);
          EXPECT_EQ(load(s.plan_ends_at), 99u);
          EXPECT_EQ(load(s.hello_port_limit), 0u);
        })},
       std::nullopt,
       {}},
      {"handshake kinds, heartbeats, status lines with a stream id and unknown kinds are "
       "ignored; a status line with id 0 is taken",
       {gw(KIND_HELLO, 0, "x\n1\ny"), gw(KIND_WELCOME, 0, "|pubport=1|pubtls=2"),
        gw(KIND_INVITE, 0, "c"), gw(KIND_ACCESS, 0, ""), gw(KIND_HEARTBEAT, 0, ""),
        gw(KIND_PUNCH_STATUS, 0, "punch|request|nas|1|80"),
        gw(KIND_PUNCH_STATUS, 3, "punch|ready|nas|1|80"), gw(200, 4, "?"), gw(0, 0, ""), sync(),
        check([](SharedState& s) {
          EXPECT_EQ(load(s.front_http_port), 80u);
          EXPECT_EQ(load(s.front_https_port), 443u);
          auto requests = s.punch_requests.get();
          ASSERT_EQ(requests.size(), 1u);
          EXPECT_EQ(requests[0].who, "nas");
          EXPECT_EQ(load(s.punch_state), PUNCH_OFF);  // the ready line with id 3 did nothing
          EXPECT_TRUE(s.direct_ports.get().empty());
        })},
       std::nullopt,
       {}},
      {"a quota notice closes every stream behind its queued frames and ends the session",
       {gw(KIND_OPEN, 1, "{A}\n"), accept('A', "a"), gw(KIND_OPEN, 2, "{B}\n"), accept('B', "b"),
        gw(KIND_DATA, 2, "queued"), gw(KIND_ERROR, 0, "quota: daily limit reached"),
        reads("b", "queued"), sees_end("a"), sees_end("b"),
        check([](SharedState& s) { EXPECT_EQ(load(s.quota_used), 1u); })},
       SessionOutcome::OUTCOME_QUOTA,
       {"client: 网关说 —— quota: daily limit reached"}},
      {"a bare quota notice ends the session too",
       {gw(KIND_OPEN, 1, "{A}\nx"), accept('A', "a"), reads("a", "x"), gw(KIND_ERROR, 0, "quota:"),
        sees_end("a")},
       SessionOutcome::OUTCOME_QUOTA,
       {"client: 网关说 —— quota:"}},
      {"the end of the connection ends the session and every stream's input, silently",
       {gw(KIND_OPEN, 1, "{A}\nx"), accept('A', "a"), reads("a", "x"), gateway_closes(),
        sees_end("a")},
       SessionOutcome::OUTCOME_RETRY,
       {}},
  };
  for (const auto& c : cases) {
    run_case(c);
    // A fresh state for the next case's session.
    shared_ = std::make_shared<SharedState>();
    shared_->tls_mode = TlsMode::TLS_OFF;
    shared_->key_path = dir_.path() / "id.ini";
  }
}

TEST_F(SessionTest, AnAccountAllowingMorePortsEndsTheSessionToReRegister) {
  struct Case {
    const char* name;
    std::uint64_t new_max;
    bool ends;
  } cases[] = {{"plan allows all three", 3, true}, {"plan allows one", 1, false}};
  for (const auto& c : cases) {
    shared_->ports.set({1, 2, 3});
    store(shared_->hello_port_limit, 1);
    SessionInputs in = inputs({1});
    run([&]() -> asio::awaitable<int> {
      GatewayEnd gw = co_await start_welcomed(in);
      co_await gw.send(KIND_ACCOUNT, 0, "v1|vip|0|100|0|" + std::to_string(c.new_max) + "|0");
      if (c.ends) {
        co_await session_end();
      } else {
        for (int i = 0; i < 200 && load(shared_->max_mappings) != c.new_max; ++i)
          co_await sleep_for(5ms);
        co_await sleep_for(50ms);
        if (session_ended()) throw std::runtime_error("the session ended");
      }
      co_return 0;  // the session that goes on ends with its connection
    }());
    EXPECT_EQ(outcome(), SessionOutcome::OUTCOME_RETRY) << c.name;
    EXPECT_EQ(load(shared_->hello_port_limit), c.ends ? 0u : 1u) << c.name;
    EXPECT_EQ(load(shared_->max_mappings), c.new_max) << c.name;
  }
}

TEST_F(SessionTest, ALargeLocalAnswerArrivesWholeInFramesOfAtMost64KiB) {
  tcp::acceptor local(io_, {asio::ip::address_v4::loopback(), 0});
  std::uint16_t port = local.local_endpoint().port();
  std::string answer(200'000, '\0');
  for (std::size_t i = 0; i < answer.size(); ++i)
    answer[i] = static_cast<char>('a' + (i * 7 + i / 253) % 26);
  SessionInputs in = inputs({port});
  auto frames = run([&]() -> asio::awaitable<std::vector<Frame>> {
    GatewayEnd gw = co_await start_welcomed(in);
    co_await gw.send(KIND_OPEN, 7, std::to_string(port) + "\n");
    tcp::socket service = co_await local.async_accept(asio::use_awaitable);
    co_await asio::async_write(service, asio::buffer(answer), asio::use_awaitable);
    service.close();
    std::vector<Frame> got;
    while (got.empty() || got.back().kind != KIND_CLOSE)
      got.push_back(co_await gw.next_non_heartbeat());
    co_return got;
  }());
  ASSERT_GE(frames.size(), 3u);
  EXPECT_EQ(frames.back().kind, KIND_CLOSE);
  const Frame& end = frames[frames.size() - 2];
  EXPECT_EQ(end.kind, KIND_DATA);
  EXPECT_TRUE(end.payload.empty());
  std::string joined;
  for (std::size_t i = 0; i + 2 < frames.size(); ++i) {
    EXPECT_EQ(frames[i].kind, KIND_DATA);
    EXPECT_EQ(frames[i].id, 7u);
    EXPECT_GE(frames[i].payload.size(), 1u);
    EXPECT_LE(frames[i].payload.size(), 65536u);
    joined += text_of(frames[i]);
  }
  EXPECT_GE(frames.size(), 2u + 4u) << "200,000 bytes need at least four frames";
  EXPECT_TRUE(joined == answer) << "the answer arrived changed or out of order";
}

// Two streams of one session read their services in turn into the thread's one read
// buffer, several frames at a time: each answer must still arrive whole and unmixed.
TEST_F(SessionTest, LargeAnswersOfTwoStreamsAtOnceArriveWholeAndUnmixed) {
  tcp::acceptor local(io_, {asio::ip::address_v4::loopback(), 0});
  std::uint16_t port = local.local_endpoint().port();
  std::map<std::uint32_t, std::string> answers;
  for (std::uint32_t id : {7u, 8u}) {
    std::string& answer = answers[id];
    answer.resize(1'500'000);
    for (std::size_t i = 0; i < answer.size(); ++i)
      answer[i] = static_cast<char>('a' + (i * id + i / 251) % 26);
  }
  SessionInputs in = inputs({port});
  auto got = run([&]() -> asio::awaitable<std::map<std::uint32_t, std::string>> {
    GatewayEnd gw = co_await start_welcomed(in);
    std::vector<std::shared_ptr<tcp::socket>> services;
    for (std::uint32_t id : {7u, 8u}) {
      co_await gw.send(KIND_OPEN, id, std::to_string(port) + "\n");
      tcp::socket service = co_await local.async_accept(asio::use_awaitable);
      services.push_back(std::make_shared<tcp::socket>(std::move(service)));
    }
    // Both services send at once; each closes once its answer is out.
    for (std::size_t i = 0; i < services.size(); ++i) {
      auto service = services[i];
      const std::string& answer = answers[i == 0 ? 7u : 8u];
      asio::async_write(*service, asio::buffer(answer), [service](std::error_code, std::size_t) {
        std::error_code ignored;  // the test reads what arrived either way
        service->close(ignored);
      });
    }
    std::map<std::uint32_t, std::string> joined;
    std::size_t closed = 0;
    while (closed < 2) {
      Frame frame = co_await gw.next_non_heartbeat();
      if (frame.kind == KIND_CLOSE) {
        ++closed;
      } else if (frame.kind == KIND_DATA) {
        if (frame.payload.size() > 65536) throw std::runtime_error("a frame above 64 KiB");
        joined[frame.id] += text_of(frame);
      }
    }
    co_return joined;
  }());
  for (std::uint32_t id : {7u, 8u})
    EXPECT_TRUE(got[id] == answers[id]) << "stream " << id << ": the answer arrived changed";
}

TEST_F(SessionTest, ALocalServiceThatClosesAtOnceGivesAnEmptyDataAndAClose) {
  tcp::acceptor local(io_, {asio::ip::address_v4::loopback(), 0});
  std::uint16_t port = local.local_endpoint().port();
  SessionInputs in = inputs({port});
  auto frames = run([&]() -> asio::awaitable<std::vector<Frame>> {
    GatewayEnd gw = co_await start_welcomed(in);
    co_await gw.send(KIND_OPEN, 4, std::to_string(port) + "\nGET / HTTP/1.1\r\n\r\n");
    tcp::socket service = co_await local.async_accept(asio::use_awaitable);
    service.close();
    std::vector<Frame> got;
    for (int i = 0; i < 2; ++i) got.push_back(co_await gw.next_non_heartbeat());
    co_return got;
  }());
  EXPECT_EQ(frames[0].kind, KIND_DATA);
  EXPECT_EQ(frames[0].id, 4u);
  EXPECT_TRUE(frames[0].payload.empty());
  EXPECT_EQ(frames[1].kind, KIND_CLOSE);
  EXPECT_EQ(frames[1].id, 4u);
}

// What the visitor gets when the local service cannot be reached, and the diagnostic
// line that only TUNNEL_DEBUG prints.
TEST_F(SessionTest, AnUnreachableServiceGetsTheBadGatewayReply) {
  test::StalledListener stalled;
  if (!stalled.stalled()) GTEST_SKIP() << "this system refuses connections to a full listener";
  timings_.local_connect_timeout = 300ms;
  std::uint16_t refused_port = 0;
  {
    tcp::acceptor closed(io_, {asio::ip::address_v4::loopback(), 0});
    refused_port = closed.local_endpoint().port();
  }
  struct Case {
    const char* name;
    std::uint16_t port;
    std::string request;
    bool debug;
    std::string content_type;
    std::string reason;       // in the reply
    std::string debug_error;  // in the diagnostic line
  } cases[] = {
      {"refused, HTML", refused_port, "GET / HTTP/1.1\r\nAccept: text/html\r\n\r\n", true,
       "text/html; charset=utf-8", "(os error ", "(os error "},
      {"refused, plain, quiet", refused_port, "GET / HTTP/1.1\r\n\r\n", false,
       "text/plain; charset=utf-8", "(os error ", ""},
      {"no answer within the limit", stalled.port(), "", true, "text/plain; charset=utf-8",
       "连接超时（8 秒）\n", "connect timeout\n"},
  };
  std::uint32_t id = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ++id;
    test::ScopedEnv env("TUNNEL_DEBUG", c.debug ? std::optional<std::string>("1") : std::nullopt);
    SessionInputs in = inputs({c.port});
    auto started = std::chrono::steady_clock::now();
    auto frames = run([&]() -> asio::awaitable<std::vector<Frame>> {
      GatewayEnd gw = co_await start_welcomed(in);
      co_await gw.send(KIND_OPEN, id, std::to_string(c.port) + "\n" + c.request);
      std::vector<Frame> got;
      while (got.empty() || got.back().kind != KIND_CLOSE)
        got.push_back(co_await gw.next_non_heartbeat());
      co_return got;
    }());
    auto took = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(frames.size(), 3u);
    std::string reply = text_of(frames[0]);
    EXPECT_TRUE(
        reply.starts_with("HTTP/1.1 502 Bad Gateway\r\ncontent-type: " + c.content_type + "\r\n"))
        << reply;
    std::string message =
        "Quillmar 客户端无法连接本地服务 127.0.0.1:" + std::to_string(c.port) + "：";
    auto at = reply.find(message);
    ASSERT_NE(at, std::string::npos) << reply;
    EXPECT_NE(reply.find(c.reason, at + message.size()), std::string::npos) << reply;
    EXPECT_EQ(frames[1].kind, KIND_DATA);
    EXPECT_TRUE(frames[1].payload.empty());
    EXPECT_EQ(frames[2].kind, KIND_CLOSE);
    for (const auto& f : frames) EXPECT_EQ(f.id, id);
    std::string prefix =
        "client: stream " + std::to_string(id) + " -> :" + std::to_string(c.port) + ": ";
    if (c.debug) {
      EXPECT_TRUE(stderr_.starts_with(prefix) && stderr_.ends_with("\n") &&
                  stderr_.find(c.debug_error, prefix.size()) != std::string::npos &&
                  std::count(stderr_.begin(), stderr_.end(), '\n') == 1)
          << stderr_;
    } else {
      EXPECT_EQ(stderr_, "");
    }
    if (c.port == stalled.port()) {
      EXPECT_GE(took, 300ms);
      EXPECT_LT(took, 5s);
    }
    outcome();
  }
}

// With 512 streams open the next open request is refused on its own id; once one
// stream is closed, a new one is accepted.
TEST_F(SessionTest, TheStreamLimitRefusesTheNextOpenAndRecovers) {
  test::StalledListener stalled;
  if (!stalled.stalled()) GTEST_SKIP() << "this system refuses connections to a full listener";
  timings_.local_connect_timeout = 60s;  // the 512 streams stay, connecting, meanwhile
  tcp::acceptor local(io_, {asio::ip::address_v4::loopback(), 0});
  std::uint16_t port = local.local_endpoint().port();
  SessionInputs in = inputs({stalled.port(), port});
  auto refused = run([&]() -> asio::awaitable<std::vector<Frame>> {
    GatewayEnd gw = co_await start_welcomed(in);
    for (std::uint32_t id = 1; id <= 512; ++id)
      co_await gw.send(KIND_OPEN, id, std::to_string(stalled.port()) + "\n");
    std::vector<Frame> got;
    co_await gw.send(KIND_OPEN, 600, std::to_string(port) + "\nrefused");
    got.push_back(co_await gw.next_non_heartbeat());
    // Reusing an id that is open does not get past the limit either.
    co_await gw.send(KIND_OPEN, 7, std::to_string(port) + "\nrefused");
    got.push_back(co_await gw.next_non_heartbeat());

    co_await gw.send(KIND_CLOSE, 3, ""sv);
    co_await gw.send(KIND_OPEN, 601, std::to_string(port) + "\naccepted");
    tcp::socket service = co_await within(local.async_accept(asio::use_awaitable), "stream 601");
    std::string first(8, '\0');
    co_await within(asio::async_read(service, asio::buffer(first), asio::use_awaitable),
                    "the first bytes of stream 601");
    if (first != "accepted") throw std::runtime_error("stream 601 got " + quoted_form(first));
    co_await asio::async_write(service, asio::buffer("ok"sv), asio::use_awaitable);
    got.push_back(co_await gw.next_non_heartbeat());
    co_return got;
  }());
  ASSERT_EQ(refused.size(), 3u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(refused[i].kind, KIND_ERROR);
    EXPECT_EQ(text_of(refused[i]), "too many streams");
  }
  EXPECT_EQ(refused[0].id, 600u);
  EXPECT_EQ(refused[1].id, 7u);
  EXPECT_EQ(refused[2].kind, KIND_DATA);
  EXPECT_EQ(refused[2].id, 601u);
  EXPECT_EQ(text_of(refused[2]), "ok");
}

// A local service that does not read: its stream's queue fills, the frame loop waits
// (the gateway's writes stall, so nothing piles up in the client) while the heartbeat
// goes on; once the service reads, every byte arrives in order and the loop goes on.
TEST_F(SessionTest, ASlowLocalReaderHoldsTheFrameLoopUntilItCatchesUp) {
  timings_.heartbeat_interval = 50ms;
  tcp::acceptor local(io_, {asio::ip::address_v4::loopback(), 0});
  std::uint16_t port = local.local_endpoint().port();
  // 40 MiB: more than the socket buffers on the way and the stream's queue can hold.
  constexpr std::size_t FRAMES = 640;
  constexpr std::size_t FRAME_BYTES = 65536;
  SessionInputs in = inputs({port});
  auto [stalled_at, total] = run([&]() -> asio::awaitable<std::pair<std::size_t, std::size_t>> {
    GatewayEnd gw = co_await start_welcomed(in);
    co_await gw.send(KIND_OPEN, 9, std::to_string(port) + "\n");
    tcp::socket service = co_await within(local.async_accept(asio::use_awaitable), "stream 9");

    auto sent = std::make_shared<std::size_t>(0);
    auto heartbeats = std::make_shared<std::size_t>(0);
    auto writer = gw.writer;
    asio::co_spawn(
        io_,
        [](SharedWriterPtr w, std::shared_ptr<std::size_t> count) -> asio::awaitable<void> {
          for (std::size_t i = 0; i < FRAMES; ++i) {
            // Named first: GCC 12 frees a braced temporary in a co_await expression twice.
            Frame data{std::vector<std::uint8_t>(FRAME_BYTES, static_cast<std::uint8_t>(i % 251)),
                       9, KIND_DATA};
            auto ok = co_await w->send(std::move(data));
            if (!ok) co_return;
            ++*count;
          }
          auto ok = co_await w->send(frame_of(KIND_ACCOUNT, 0, "v1|after|1|2|3|1|5"));
          if (ok) ++*count;
        }(writer, sent),
        asio::detached);
    asio::co_spawn(
        io_,
        [](std::unique_ptr<ReadHalf> reader,
           std::shared_ptr<std::size_t> count) -> asio::awaitable<void> {
          for (;;) {
            auto read = co_await read_frame(*reader);
            if (!read || !read.value()) co_return;
            if (read.value()->kind == KIND_HEARTBEAT) ++*count;
          }
        }(std::move(gw.reader), heartbeats),
        asio::detached);

    // Stalled: the count stops moving (for two windows in a row, so that a busy
    // machine's pause is not taken for it), well before everything is out.
    int quiet = 0;
    std::size_t beats_before = 0;
    for (int i = 0; i < 200 && quiet < 2; ++i) {
      std::size_t before = *sent;
      if (quiet == 0) beats_before = *heartbeats;
      co_await sleep_for(200ms);
      quiet = *sent == before ? quiet + 1 : 0;
    }
    if (quiet < 2) throw std::runtime_error("the gateway's writes never stalled");
    std::size_t before = *sent;
    if (shared_->plan.get() != "free") throw std::runtime_error("the loop went past the stream");
    if (*heartbeats < beats_before + 2)
      throw std::runtime_error("no heartbeats while the frame loop waited");

    // The service catches up: everything arrives, in order.
    std::vector<std::uint8_t> chunk(FRAME_BYTES);
    for (std::size_t i = 0; i < FRAMES; ++i) {
      co_await within(asio::async_read(service, asio::buffer(chunk), asio::use_awaitable),
                      "frame " + std::to_string(i) + " at the service");
      if (std::count(chunk.begin(), chunk.end(), static_cast<std::uint8_t>(i % 251)) !=
          static_cast<std::ptrdiff_t>(FRAME_BYTES))
        throw std::runtime_error("frame " + std::to_string(i) + " arrived changed or out of order");
    }
    for (int i = 0; i < 400 && shared_->plan.get() != "after"; ++i) co_await sleep_for(5ms);
    if (shared_->plan.get() != "after") throw std::runtime_error("the loop did not go on");
    co_return std::pair<std::size_t, std::size_t>{before, *sent};
  }());
  EXPECT_LT(stalled_at, FRAMES);
  EXPECT_EQ(total, FRAMES + 1);
}

// Control messages taken between frames never cost a frame, even when a frame and a
// message arrive together.
TEST_F(SessionTest, ControlMessagesNeverCostAFrame) {
  tcp::acceptor local(io_, {asio::ip::address_v4::loopback(), 0});
  std::uint16_t port = local.local_endpoint().port();
  constexpr int FRAMES = 1000;
  SessionInputs in = inputs({port});
  std::atomic<bool> stop_flood{false};
  std::thread flood([&] {
    while (!stop_flood.load()) {
      // A few messages always waiting, so that frames and messages meet often.
      if (control_rx_.size() < 4) {
        control_tx_->try_send(SessionControl{SessionControl::Tag::CONTROL_VISIT, {}, ""});
      } else {
        std::this_thread::sleep_for(20us);
      }
    }
  });
  std::string received;
  std::string expected;
  for (int i = 0; i < FRAMES; ++i) expected += std::to_string(i) + ",";
  try {
    received = run([&]() -> asio::awaitable<std::string> {
      GatewayEnd gw = co_await start_welcomed(in);
      // Each message sends a "visitor||" offer: they are read away, so that the
      // connection never fills up with them.
      asio::co_spawn(
          io_,
          [](std::unique_ptr<ReadHalf> reader) -> asio::awaitable<void> {
            for (;;) {
              auto read = co_await read_frame(*reader);
              if (!read || !read.value()) co_return;
            }
          }(std::move(gw.reader)),
          asio::detached);
      co_await gw.send(KIND_OPEN, 1, std::to_string(port) + "\n");
      tcp::socket service = co_await within(local.async_accept(asio::use_awaitable), "stream 1");
      for (int i = 0; i < FRAMES; ++i) {
        co_await gw.send(KIND_DATA, 1, std::to_string(i) + ",");
        if (i % 50 == 0) co_await sleep_for(1ms);  // frames arrive one by one, too
      }
      // Whatever arrives within the limit; a lost frame shows as a shorter text.
      std::string got;
      std::array<char, 4096> chunk{};
      auto deadline = std::chrono::steady_clock::now() + 20s;
      while (got.size() < expected.size() && std::chrono::steady_clock::now() < deadline) {
        auto read = co_await (service.async_read_some(asio::buffer(chunk), as_tuple_awaitable) ||
                              sleep_for(500ms));
        if (read.index() == 1) continue;
        auto [ec, n] = std::get<0>(read);
        if (ec) break;
        got.append(chunk.data(), n);
      }
      co_return got;
    }());
  } catch (...) {
    stop_flood = true;
    flood.join();
    throw;
  }
  stop_flood = true;
  flood.join();
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected) << "frames were lost or reordered: " << received;
}

TEST_F(SessionTest, FramesAreReadOnWhenTheControlChannelIsClosed) {
  control_tx_.reset();
  tcp::acceptor local(io_, {asio::ip::address_v4::loopback(), 0});
  std::uint16_t port = local.local_endpoint().port();
  SessionInputs in = inputs({port});
  auto got = run([&]() -> asio::awaitable<std::string> {
    GatewayEnd gw = co_await start_welcomed(in);
    co_await gw.send(KIND_OPEN, 1, std::to_string(port) + "\nfirst");
    tcp::socket service = co_await within(local.async_accept(asio::use_awaitable), "stream 1");
    co_await gw.send(KIND_DATA, 1, "second"sv);
    std::string bytes(11, '\0');
    co_await within(asio::async_read(service, asio::buffer(bytes), asio::use_awaitable), "bytes");
    co_return bytes;
  }());
  EXPECT_EQ(got, "firstsecond");
}

// Messages already waiting when the frame loop starts announce themselves no more, yet
// each is applied, one after the other.
TEST_F(SessionTest, ControlMessagesWaitingAtTheStartAreEachApplied) {
  constexpr int MESSAGES = 3;
  for (int i = 0; i < MESSAGES; ++i) {
    control_tx_->try_send(SessionControl{SessionControl::Tag::CONTROL_VISIT, {}, ""});
  }
  SessionInputs in = inputs({});
  auto offers = run([&]() -> asio::awaitable<std::vector<std::string>> {
    GatewayEnd gw = co_await start_welcomed(in);
    std::vector<std::string> got;
    while (got.size() < MESSAGES) {
      Frame frame = co_await gw.next_non_heartbeat();
      if (frame.kind != KIND_PUNCH_OFFER)
        throw std::runtime_error("not an offer: " + describe(frame));
      got.emplace_back(frame.payload.begin(), frame.payload.end());
    }
    co_return got;
  }());
  EXPECT_EQ(offers, std::vector<std::string>(MESSAGES, "visitor||"));
}

TEST_F(SessionTest, HeartbeatsFollowTheInjectedIntervalAndOutliveTheSession) {
  timings_.heartbeat_interval = 40ms;
  SessionInputs in = inputs({});
  auto [gaps, after_end] =
      run([&]() -> asio::awaitable<std::pair<std::vector<std::chrono::microseconds>, int>> {
        GatewayEnd gw = co_await start_welcomed(in);
        auto last = std::chrono::steady_clock::now();
        std::vector<std::chrono::microseconds> got;
        for (int i = 0; i < 3; ++i) {
          Frame frame = co_await gw.next();
          if (frame.kind != KIND_HEARTBEAT || frame.id != 0 || !frame.payload.empty())
            throw std::runtime_error("not a heartbeat: " + describe(frame));
          auto now = std::chrono::steady_clock::now();
          got.push_back(std::chrono::duration_cast<std::chrono::microseconds>(now - last));
          last = now;
        }
        // The session ends; its heartbeat goes on over the same connection.
        co_await gw.send(KIND_ERROR, 0, "quota: used up"sv);
        co_await session_end();
        int beats = 0;
        for (; beats < 3; ++beats) {
          Frame frame = co_await gw.next();
          if (frame.kind != KIND_HEARTBEAT) throw std::runtime_error("not a heartbeat");
        }
        co_return std::pair{got, beats};
      }());
  // Each heartbeat waits a whole interval after the previous one (the first after the
  // welcome), so three take at least three intervals; late reads may shift single gaps.
  std::chrono::microseconds total{};
  for (auto gap : gaps) {
    total += gap;
    EXPECT_LT(gap, 2000ms);
  }
  EXPECT_GE(total, 120ms);
  EXPECT_EQ(after_end, 3);
  EXPECT_EQ(outcome(), SessionOutcome::OUTCOME_QUOTA);
}

TEST_F(SessionTest, NoHeartbeatGoesOutBeforeTheInterval) {
  timings_.heartbeat_interval = 400ms;
  SessionInputs in = inputs({});
  auto quiet = run([&]() -> asio::awaitable<bool> {
    GatewayEnd gw = co_await start_welcomed(in);
    auto read = co_await (read_frame(*gw.reader) || sleep_for(250ms));
    co_return read.index() == 1;
  }());
  EXPECT_TRUE(quiet) << "a frame came before the first interval had passed";
}

}  // namespace
}  // namespace quillmar
