// Visitor streams through the gateway stand-in and the client over loopback, all in
// this process: bulk throughput in both directions, round-trip latency of small
// request/replies on one stream, and the cost of opening a stream.
//
//   relay_bench [--mib N] [--round-trips N] [--streams N] [--workers N]
//
// Road of every byte: visitor socket -> stand-in (raw route) -> control connection ->
// client session -> stream task -> local service, and back. Everything is 127.0.0.1.
#include <algorithm>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "devgw/dev_gateway.hpp"
#include "session/session.hpp"

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr auto as_tuple_awaitable = asio::experimental::as_tuple(asio::use_awaitable);

struct Settings {
  std::uint64_t mib = 256;
  int round_trips = 10000;
  int streams = 500;
  unsigned workers = std::max(2u, std::thread::hardware_concurrency() / 2);
};

std::optional<Settings> parse(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") return std::nullopt;
    if (i + 1 >= argc) return std::nullopt;
    long long value = std::atoll(argv[++i]);
    if (value <= 0) return std::nullopt;
    if (arg == "--mib") {
      s.mib = static_cast<std::uint64_t>(value);
    } else if (arg == "--round-trips") {
      s.round_trips = static_cast<int>(value);
    } else if (arg == "--streams") {
      s.streams = static_cast<int>(value);
    } else if (arg == "--workers") {
      s.workers = static_cast<unsigned>(value);
    } else {
      return std::nullopt;
    }
  }
  return s;
}

// --- local services, on a thread of their own ------------------------------------------

enum class Service { source, sink, echo };

// source: writes `bytes` bytes to every connection, then ends its side.
// sink: reads to the end of input, then answers with the count as 8 bytes.
// echo: sends back whatever arrives.
class LocalServices {
 public:
  explicit LocalServices(std::uint64_t source_bytes) : source_bytes_(source_bytes) {
    acceptors_.reserve(3);  // the accept loops hold references into the vector
    for (Service service : {Service::source, Service::sink, Service::echo}) {
      auto& acceptor =
          acceptors_.emplace_back(io_, tcp::endpoint{asio::ip::address_v4::loopback(), 0});
      asio::co_spawn(io_, accept_loop(acceptor, service), asio::detached);
    }
    thread_ = std::thread([this] { io_.run(); });
  }
  ~LocalServices() {
    io_.stop();
    thread_.join();
  }
  std::uint16_t port(Service service) const {
    return acceptors_[static_cast<std::size_t>(service)].local_endpoint().port();
  }

 private:
  asio::awaitable<void> accept_loop(tcp::acceptor& acceptor, Service service) {
    for (;;) {
      auto [ec, socket] = co_await acceptor.async_accept(as_tuple_awaitable);
      if (ec) co_return;
      socket.set_option(tcp::no_delay(true));
      asio::co_spawn(io_, serve(std::move(socket), service), asio::detached);
    }
  }

  asio::awaitable<void> serve(tcp::socket socket, Service service) {
    std::vector<char> buffer(256 * 1024, 'q');
    if (service == Service::source) {
      std::uint64_t left = source_bytes_;
      while (left > 0) {
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
        auto [ec, written] =
            co_await asio::async_write(socket, asio::buffer(buffer.data(), n), as_tuple_awaitable);
        if (ec) co_return;
        left -= n;
      }
      std::error_code ignored;  // the visitor's end: nothing more to send either way
      socket.shutdown(tcp::socket::shutdown_send, ignored);
      char byte;
      co_await socket.async_read_some(asio::buffer(&byte, 1), as_tuple_awaitable);
      co_return;
    }
    std::uint64_t total = 0;
    for (;;) {
      auto [ec, n] = co_await socket.async_read_some(asio::buffer(buffer), as_tuple_awaitable);
      if (ec) break;
      total += n;
      if (service == Service::echo) {
        auto [write_ec, written] =
            co_await asio::async_write(socket, asio::buffer(buffer.data(), n), as_tuple_awaitable);
        if (write_ec) co_return;
      }
    }
    if (service == Service::sink) {
      co_await asio::async_write(socket, asio::buffer(&total, sizeof total), as_tuple_awaitable);
    }
    std::error_code ignored;  // the answer is out, or the visitor has gone
    socket.shutdown(tcp::socket::shutdown_send, ignored);
  }

  std::uint64_t source_bytes_;
  asio::io_context io_;
  std::vector<tcp::acceptor> acceptors_;
  std::thread thread_;
};

// --- the visitor's side, measured ------------------------------------------------------

tcp::socket connect_to(asio::io_context& io, std::uint16_t port) {
  tcp::socket socket(io);
  socket.connect({asio::ip::address_v4::loopback(), port});
  socket.set_option(tcp::no_delay(true));
  return socket;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void report_throughput(const char* what, std::uint64_t bytes, double seconds) {
  double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
  std::printf("%-34s %8.1f MiB in %6.2f s = %8.1f MiB/s\n", what, mib, seconds, mib / seconds);
}

void report_latency(const char* what, std::vector<double> micros) {
  std::sort(micros.begin(), micros.end());
  double sum = 0;
  for (double m : micros) sum += m;
  auto at = [&](double q) {
    return micros[std::min(micros.size() - 1, static_cast<std::size_t>(q * micros.size()))];
  };
  std::printf("%-34s n=%zu  mean %7.1f us  p50 %7.1f us  p99 %7.1f us  max %8.1f us\n", what,
              micros.size(), sum / static_cast<double>(micros.size()), at(0.50), at(0.99),
              micros.back());
}

bool download(asio::io_context& io, std::uint16_t port, std::uint64_t expected) {
  tcp::socket socket = connect_to(io, port);
  std::vector<char> buffer(256 * 1024);
  std::uint64_t got = 0;
  auto start = Clock::now();
  for (;;) {
    std::error_code ec;
    std::size_t n = socket.read_some(asio::buffer(buffer), ec);
    got += n;
    if (ec) break;
  }
  report_throughput("download (local service -> visitor)", got, seconds_since(start));
  return got == expected;
}

bool upload(asio::io_context& io, std::uint16_t port, std::uint64_t bytes) {
  tcp::socket socket = connect_to(io, port);
  std::vector<char> buffer(256 * 1024, 'u');
  auto start = Clock::now();
  std::uint64_t left = bytes;
  while (left > 0) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
    asio::write(socket, asio::buffer(buffer.data(), n));
    left -= n;
  }
  socket.shutdown(tcp::socket::shutdown_send);
  std::uint64_t counted = 0;
  std::error_code ec;
  asio::read(socket, asio::buffer(&counted, sizeof counted), ec);
  report_throughput("upload (visitor -> local service)", bytes, seconds_since(start));
  return !ec && counted == bytes;
}

bool round_trips(asio::io_context& io, std::uint16_t port, int count) {
  tcp::socket socket = connect_to(io, port);
  std::string request(64, 'r');
  std::string reply(64, '\0');
  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    asio::write(socket, asio::buffer(request));
    std::error_code ec;
    asio::read(socket, asio::buffer(reply), ec);
    if (ec || reply != request) return false;
    micros.push_back(seconds_since(start) * 1e6);
  }
  report_latency("64-byte request/reply, one stream", std::move(micros));
  return true;
}

bool stream_setups(asio::io_context& io, std::uint16_t port, int count) {
  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(count));
  std::string request = "ping";
  std::string reply(4, '\0');
  auto all = Clock::now();
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    tcp::socket socket = connect_to(io, port);
    asio::write(socket, asio::buffer(request));
    std::error_code ec;
    asio::read(socket, asio::buffer(reply), ec);
    if (ec || reply != request) return false;
    micros.push_back(seconds_since(start) * 1e6);
  }
  double seconds = seconds_since(all);
  report_latency("new stream + first reply", std::move(micros));
  std::printf("%-34s %8.0f streams/s (one after the other)\n", "", count / seconds);
  return true;
}

// One pass over the whole road with the control connection in plain TCP or in TLS.
bool run_mode(const Settings& settings, bool tls) {
  using namespace quillmar;
  const std::uint64_t bytes = settings.mib * 1024 * 1024;
  LocalServices services(bytes);

  // The stand-in, quiet, on a thread of its own; one raw listener per local service.
  asio::io_context gateway_io;
  devgw::DevGatewayOptions options;
  options.public_http_port.reset();
  options.log = [](std::string_view) {};
  if (tls) options.tls = devgw::TlsSetup::generated;
  for (Service service : {Service::source, Service::sink, Service::echo})
    options.raw_routes.push_back({0, "bench", services.port(service)});
  devgw::DevGateway gateway(options);
  auto ports = gateway.start(gateway_io);
  if (!ports) {
    std::fprintf(stderr, "relay_bench: the stand-in did not start: %s\n",
                 ports.error().display().c_str());
    return false;
  }
  std::thread gateway_thread([&] { gateway_io.run(); });

  // The key file the TLS pin goes to, in a folder of its own.
  auto key_dir = std::filesystem::temp_directory_path() /
                 ("quillmar-bench-" + std::to_string(Clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(key_dir);

  // The client: the session on a context of its own thread, its tasks on the workers'.
  asio::io_context pool;
  auto pool_guard = asio::make_work_guard(pool);
  std::vector<std::thread> workers;
  for (unsigned i = 0; i < settings.workers; ++i) workers.emplace_back([&] { pool.run(); });
  asio::io_context session_io;
  auto shared = std::make_shared<SharedState>();
  shared->tls_mode = tls ? TlsMode::TLS_REQUIRED : TlsMode::TLS_OFF;
  shared->key_path = key_dir / "id.ini";
  auto [control_tx, control_rx] = make_queue<SessionControl>(0);
  PunchOptions punch;
  SessionInputs inputs{
      "127.0.0.1:" + std::to_string(ports.value().control),
      "localhost",
      "bench",
      "0123456789abcdef0123456789abcdef",
      {services.port(Service::source), services.port(Service::sink), services.port(Service::echo)},
      ""};
  asio::cancellation_signal stop_session;
  std::fflush(stdout);
  auto outcome =
      asio::co_spawn(session_io,
                     run_session(std::move(inputs), shared, punch, control_rx,
                                 SessionEnvironment{pool.get_executor(), SessionTimings{}}),
                     asio::bind_cancellation_slot(stop_session.slot(), asio::use_future));
  auto session_guard = asio::make_work_guard(session_io);
  std::thread session_thread([&] { session_io.run(); });
  for (int i = 0; i < 500 && load(shared->connected) == 0; ++i) std::this_thread::sleep_for(10ms);

  bool ok = load(shared->connected) == 1;
  if (ok) {
    std::printf("\n== control connection in %s; %u client workers; stand-in on one thread\n",
                tls ? "TLS (TCP_NODELAY on)" : "plain TCP (system default: Nagle on)",
                settings.workers);
    asio::io_context visitor_io;
    const auto& raw = ports.value().raw;
    ok = download(visitor_io, raw[0], bytes) && upload(visitor_io, raw[1], bytes) &&
         round_trips(visitor_io, raw[2], settings.round_trips) &&
         stream_setups(visitor_io, raw[2], settings.streams);
    if (!ok) std::fprintf(stderr, "relay_bench: a transfer came back incomplete or changed\n");
  } else {
    std::fprintf(stderr, "relay_bench: the client did not register with the stand-in\n");
  }

  asio::post(session_io, [&] { stop_session.emit(asio::cancellation_type::terminal); });
  outcome.wait();
  session_guard.reset();
  session_io.stop();
  session_thread.join();
  gateway.stop();
  gateway_io.stop();
  gateway_thread.join();
  pool_guard.reset();
  pool.stop();
  for (auto& w : workers) w.join();
  std::error_code ignored;  // a folder left behind in the temporary folder is harmless
  std::filesystem::remove_all(key_dir, ignored);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  auto settings = parse(argc, argv);
  if (!settings) {
    std::fprintf(stderr,
                 "usage: relay_bench [--mib N] [--round-trips N] [--streams N] [--workers N]\n"
                 "Relays N MiB each way, N small request/replies and N new streams through\n"
                 "the gateway stand-in and the client over loopback, with the control\n"
                 "connection in plain TCP and then in TLS. Defaults: 256, 10000, 500.\n");
    return 2;
  }
  // The session's progress lines go to standard output too: the figures follow them.
  bool ok = run_mode(*settings, false) && run_mode(*settings, true);
  return ok ? 0 : 1;
}
