#include "app/run_client.hpp"

#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <exception>
#include <system_error>

#include "app/environment.hpp"
#include "app/instance_probe.hpp"
#include "app/memory_release.hpp"
#include "app/options.hpp"
#include "app/output.hpp"
#include "app/runtime.hpp"
#include "app/version.hpp"
#include "desktop/installer.hpp"
#include "proto/device_identity.hpp"
#include "session/stream_table.hpp"
#include "session/supervisor.hpp"
#include "settings/device_id.hpp"
#include "settings/key_file.hpp"
#include "settings/key_file_writers.hpp"
#include "settings/key_location.hpp"
#include "settings/saved_settings.hpp"

namespace quillmar {
namespace {

using asio::ip::tcp;

// As many waiting connections as the system allows: a queue that overflows drops
// connection attempts, and a dropped attempt is only tried again after a second, so a
// burst of connections (a page's requests, a local program's) would keep the console's
// next answer waiting that long.
constexpr int CONSOLE_LISTEN_BACKLOG = asio::socket_base::max_listen_connections;

int fail(const IoError& error) {
  print_err("Error: " + error.structured() + "\n");
  return 1;
}

// The port itself is the single-instance lock, so no second listener may ever get it.
// Linux refuses a second listener also with SO_REUSEADDR, which lets a restart bind at
// once while the connections of the last run wait out TIME-WAIT. On Windows that option
// would let any program take the port over: there the port is claimed exclusively.
#ifdef _WIN32
using ConsoleAddressUse = asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
#else
using ConsoleAddressUse = asio::socket_base::reuse_address;
#endif

}  // namespace

Result<tcp::acceptor> bind_console(asio::io_context& io, std::uint16_t port) {
  tcp::acceptor acceptor(io);
  tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
  std::error_code ec;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(ConsoleAddressUse(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(CONSOLE_LISTEN_BACKLOG, ec);
  if (ec) return IoError::from(ec);
  return acceptor;
}

namespace {

std::string choose_device_name(const ClientOptions& options, Creds& creds) {
  std::string name = options.sub ? *options.sub : creds.sub ? *creds.sub : random_name();
  if (!creds.sub) {
    creds.sub = name;
    save_creds(creds);
  }
  return name;
}

std::vector<std::uint16_t> choose_ports(const ClientOptions& options,
                                        const std::filesystem::path& key_path) {
  std::vector<std::uint16_t> ports = options.http_ports;
  if (!ports.empty()) {
    save_ports(key_path, ports);
  } else {
    ports = load_saved_ports(key_path);
  }
  if (ports.empty()) print_out("client: 还没有端口映射，请在 Quillmar 页面里添加\n");
  return ports;
}

void merge_invite(const ClientOptions& options, Creds& creds) {
  if (!options.invite || *options.invite == creds.invite) return;
  creds.invite = *options.invite;
  save_creds(creds);
  print_out("client: 接入码已保存（" + path_to_utf8(creds.key_path) + "），以后启动不用再给\n");
}

IoError error_of(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::system_error& error) {
    return IoError::from(error.code());
  } catch (const std::exception& error) {
    return IoError::make(ErrorKind::Other, error.what());
  } catch (...) {
    return IoError::make(ErrorKind::Other, "unknown error");
  }
}

// Runs the supervisor until it returns. A worker that cannot be started and a
// supervisor that throws are start-up errors.
Status run_supervisor(Runtime& runtime, SupervisorContext context, const StartupSeams& seams) {
  try {
    SupervisorEnvironment environment;
    environment.pool = runtime.worker_context().get_executor();
    if (seams.supervisor) seams.supervisor(environment);
    runtime.run(supervise(std::move(context), std::move(environment)), seams.start_worker);
    return {};
  } catch (...) {
    return error_of(std::current_exception());
  }
}

}  // namespace

std::vector<asio::ip::address> resolve_gateway(const std::string& gateway) {
  std::vector<asio::ip::address> addresses;
  auto colon = gateway.rfind(':');
  if (colon == std::string::npos) return addresses;
  auto port = parse_port_number(std::string_view(gateway).substr(colon + 1));
  if (!port) return addresses;
  std::string host = gateway.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    std::error_code ec;
    auto literal = asio::ip::make_address_v6(host.substr(1, host.size() - 2), ec);
    if (!ec) addresses.emplace_back(literal);
    return addresses;
  }
  asio::io_context io;
  tcp::resolver resolver(io);
  std::error_code ec;
  auto results = resolver.resolve(host, std::to_string(*port), tcp::resolver::numeric_service, ec);
  if (ec) return addresses;
  for (const auto& entry : results) addresses.push_back(entry.endpoint().address());
  return addresses;
}

int run_client(const std::vector<std::string>& args, const StartupSeams& seams) {
  if (auto folder = option_value(args, "--install")) {
    auto installed = install_to_dir(*folder, has_option(args, "--force"));
    return installed ? 0 : fail(installed.error());
  }
  if (has_option(args, "--version")) {
    print_out(VERSION_LINE);
    return 0;
  }
  const std::uint16_t console_port = console_port_option(args);

  keep_freed_memory_for_reuse();
  Runtime runtime;
  // Bound on the context that serves it: not every system lets a listener move.
  auto listener = bind_console(runtime.worker_context(), console_port);
  if (!listener) {
    if (listener.error().kind != ErrorKind::AddrInUse) return fail(listener.error());
    if (probe_running_instance(console_port)) {
      hand_over_to_running_instance(console_port);
      return 0;
    }
    return fail(IoError::make(ErrorKind::AddrInUse, "管理界面端口 " + std::to_string(console_port) +
                                                        " 被其他程序占用，用 --ui <端口> 换一个"));
  }

  auto read = read_options(args);
  if (!read) return fail(read.error());
  ClientOptions options = std::move(read).value();

  PunchOptions punch{resolve_gateway(options.gateway), options.entry_port};
  std::filesystem::path key_path = locate_key_file();
  remove_key_file_leftovers(key_path);
  Creds creds = load_creds(key_path);
  if (debug_enabled()) print_err("client: 凭据文件 " + path_to_utf8(key_path) + "\n");
  merge_invite(options, creds);
  std::vector<std::uint16_t> ports = choose_ports(options, key_path);
  PortDigests access = load_saved_access(key_path);
  PortHosts targets = load_saved_targets(key_path);
  std::string device_name = choose_device_name(options, creds);

  auto shared = std::make_shared<SharedState>();
  shared->device_id = derive_device_id(creds.token);
  shared->key_path = key_path;
  shared->started_at = unix_now_secs();
  shared->tls_mode = options.tls_mode;
  shared->ports.set(std::move(ports));
  shared->targets.set(std::move(targets));
  shared->access.set(std::move(access));
  shared->invite.set(creds.invite);
  shared->sub.set(device_name);
  shared->front_door_tls.set(options.front_door_tls);

  // The session's sockets: one per stream to a local service, and the gateway's.
  reserve_socket_records(runtime.session_context(), MAX_STREAMS + 1);

  auto [reload_tx, reload_rx] = make_queue<Signal>(0);
  auto [control_tx, control_rx] = make_queue<SessionControl>(0);
  auto [exit_tx, exit_rx] = make_queue<Signal>(0);

  SupervisorContext context{options.domain,
                            options.gateway,
                            device_name,
                            std::move(creds),
                            std::move(punch),
                            std::move(listener).value(),
                            shared,
                            std::move(reload_tx),
                            std::move(control_tx),
                            std::move(exit_tx),
                            std::move(control_rx),
                            std::move(reload_rx),
                            std::move(exit_rx),
                            console_port,
                            options.auto_rename};
  auto ran = run_supervisor(runtime, std::move(context), seams);
  return ran ? 0 : fail(ran.error());
}

}  // namespace quillmar
