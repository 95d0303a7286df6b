#include "devgw/dev_gateway.hpp"

#include <asio/co_spawn.hpp>
#include <asio/dispatch.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/read_until.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <cstdio>

#include "devgw/devgw_admin.hpp"
#include "devgw/devgw_cert.hpp"
#include "devgw/devgw_core.hpp"
#include "devgw/devgw_session.hpp"
#include "devgw/devgw_visitor_socket.hpp"
#include "proto/connect.hpp"
#include "proto/text.hpp"

namespace quillmar::devgw {
namespace {

constexpr auto as_tuple_awaitable = asio::experimental::as_tuple(asio::use_awaitable);
constexpr auto ACCEPT_RETRY_PAUSE = std::chrono::milliseconds(100);

void log_to_stderr(std::string_view line) {
  std::string text = "devgw: ";
  text += line;
  text += "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);  // one write per line
  std::fflush(stderr);
}

std::uint64_t system_unix_seconds() {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  auto secs = std::chrono::duration_cast<std::chrono::seconds>(now).count();
  return secs < 0 ? 0 : static_cast<std::uint64_t>(secs);
}

Result<tcp::acceptor> listen_on(const Strand& strand, std::uint16_t port, std::string_view what) {
  auto listening = listen_tcp(strand, {asio::ip::address_v4::loopback(), port});
  if (listening) return listening;
  IoError error = listening.error();
  error.message = "cannot listen for " + std::string(what) +
                  " on 127.0.0.1:" + std::to_string(port) + ": " + error.message;
  return error;
}

enum class Home { strand, visitor_executor };

// Accepts until the listener closes; an accept error is logged, then a short pause.
// Visitors' connections go to the visitor executors, the others stay on the strand.
template <class Serve>
asio::awaitable<void> accept_loop(std::shared_ptr<Core> core, tcp::acceptor& acceptor,
                                  std::string what, Serve serve, Home home = Home::strand) {
  for (;;) {
    asio::any_io_executor executor =
        home == Home::strand ? asio::any_io_executor(core->strand) : core->next_visitor_executor();
    auto [ec, socket] = co_await acceptor.async_accept(executor, as_tuple_awaitable);
    if (core->stopping) co_return;
    if (ec) {
      core->log("accepting " + what + " failed: " + IoError::from(ec).display() + "; retrying");
      asio::steady_timer pause(core->strand);
      pause.expires_after(ACCEPT_RETRY_PAUSE);
      co_await pause.async_wait(as_tuple_awaitable);  // only a pause: its outcome does not matter
      continue;
    }
    asio::co_spawn(core->strand, serve(core, std::move(socket)), log_failure(core, what));
  }
}

asio::awaitable<void> serve_control(std::shared_ptr<Core> core, tcp::socket socket) {
  auto session = std::make_shared<ControlSession>(core, peer_text(socket));
  core->sessions.insert(session);
  co_await ControlSession::run(session, std::move(socket));
}

asio::awaitable<void> serve_admin(std::shared_ptr<Core> core, tcp::socket accepted) {
  auto socket = std::make_shared<tcp::socket>(std::move(accepted));
  core->loose_sockets.insert(socket);
  core->debug("admin connection from " + peer_text(*socket));
  std::string buffer;
  for (;;) {
    auto [ec, n] = co_await asio::async_read_until(
        *socket, asio::dynamic_buffer(buffer, MAX_ADMIN_LINE), '\n', as_tuple_awaitable);
    std::string line;
    if (!ec) {
      line = buffer.substr(0, n - 1);
      buffer.erase(0, n);
    } else if (ec == asio::error::not_found) {
      std::string reply = "error the line is longer than 2 MiB\n";
      co_await asio::async_write(*socket, asio::buffer(reply),
                                 as_tuple_awaitable);  // the connection ends either way
      break;
    } else if (ec == asio::error::eof && !buffer.empty()) {
      line = std::move(buffer);  // a last command without a line end still counts
      buffer.clear();
    } else {
      break;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (trim(line).empty()) {
      if (ec) break;
      continue;
    }
    if (ascii_lower(trim(line)) == "quit") break;
    AdminReply reply = co_await core->execute(line);
    reply.text += "\n";
    auto [write_ec, written] =
        co_await asio::async_write(*socket, asio::buffer(reply.text), as_tuple_awaitable);
    if (reply.stop_after) core->stop();
    if (write_ec || ec || reply.stop_after) break;
  }
  core->loose_sockets.erase(socket);
  std::error_code ignored;  // the admin client may have left first
  socket->close(ignored);
}

asio::awaitable<AdminReply> run_command(std::shared_ptr<Core> core, std::string line) {
  co_return co_await core->execute(std::move(line));
}

std::string yes_no(bool on) { return on ? "on" : "off"; }

}  // namespace

Core::Core(asio::io_context& io, DevGatewayOptions opts)
    : strand(opts.one_core_thread ? asio::any_io_executor(io.get_executor())
                                  : asio::any_io_executor(asio::make_strand(io))),
      options(std::move(opts)),
      visitor_handoffs(std::make_shared<VisitorHandoffs>(strand, options.visitor_executors)),
      swap_timer(strand) {
  if (!options.log) options.log = log_to_stderr;
  if (!options.clock) options.clock = system_unix_seconds;
}

void Core::log(std::string_view line) const {
  std::string text(line);
  for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at))
    text.replace(at, 1, "\\n");
  options.log(text);
}

void Core::debug(std::string_view line) const {
  if (options.verbose) log(line);
}

Result<BoundPorts> Core::start() {
  if (!is_plan_name(options.plan)) {
    return IoError::make(ErrorKind::InvalidInput,
                         "the plan name " + quoted_form(options.plan) +
                             " is not 1 to 24 letters, digits, '_' or '-'");
  }
  if (options.domain.empty() || options.domain.find_first_of(" /:") != std::string::npos) {
    return IoError::make(ErrorKind::InvalidInput,
                         "the domain " + quoted_form(options.domain) + " is not a host name");
  }
  for (const auto& route : options.raw_routes) {
    if (!is_device_name(route.device))
      return IoError::make(
          ErrorKind::InvalidInput,
          "the raw route's device name " + quoted_form(route.device) + " is not valid");
  }

  if (options.tls != TlsSetup::off) {
    Result<CertificatePair> pair = IoError::make(ErrorKind::Other, "no certificate");
    if (options.tls == TlsSetup::generated) {
      pair = generate_certificate(options.domain);
    } else {
      bool have_cert = std::filesystem::exists(options.cert_file);
      bool have_key = std::filesystem::exists(options.key_file);
      if (!have_cert && !have_key) {
        pair = generate_certificate(options.domain);
        if (pair) {
          if (auto saved = save_certificate(pair.value(), options.cert_file, options.key_file);
              !saved)
            return saved.error();
          log("wrote a new certificate to " + quoted_form(options.cert_file.string()) +
              " and its key to " + quoted_form(options.key_file.string()));
        }
      } else if (have_cert != have_key) {
        return IoError::make(ErrorKind::NotFound,
                             "found only one of " + quoted_form(options.cert_file.string()) +
                                 " and " + quoted_form(options.key_file.string()) +
                                 "; give both or neither");
      } else {
        pair = load_certificate(options.cert_file, options.key_file);
      }
    }
    if (!pair) return pair.error();
    if (auto installed = install_certificate(pair.value()); !installed) return installed.error();
  }

  auto control = listen_on(strand, options.control_port, "devices");
  if (!control) return control.error();
  control_acceptor.emplace(std::move(control).value());
  ports.control = control_acceptor->local_endpoint().port();
  if (options.public_http_port) {
    auto listener = listen_on(strand, *options.public_http_port, "visitors");
    if (!listener) return listener.error();
    public_acceptor.emplace(std::move(listener).value());
    ports.public_http = public_acceptor->local_endpoint().port();
  }
  if (options.public_https_port) {
    if (!public_acceptor)
      return IoError::make(ErrorKind::InvalidInput,
                           "the TLS front door needs the public HTTP listener behind it");
    auto door = FrontDoor::create(options.domain);
    if (!door) return door.error();
    front_door = std::move(door).value();
    if (!options.front_ca_file.empty()) {
      if (auto written = save_pem(options.front_ca_file, front_door->authority_pem()); !written)
        return written.error();
    }
    auto listener = listen_on(strand, *options.public_https_port, "TLS visitors");
    if (!listener) return listener.error();
    front_door_acceptor.emplace(std::move(listener).value());
    ports.public_https = front_door_acceptor->local_endpoint().port();
  }
  if (options.admin_port) {
    auto listener = listen_on(strand, *options.admin_port, "admin commands");
    if (!listener) return listener.error();
    admin_acceptor.emplace(std::move(listener).value());
    ports.admin = admin_acceptor->local_endpoint().port();
  }
  for (const auto& route : options.raw_routes) {
    auto listener = listen_on(strand, route.listen_port, "raw visitors of " + route.device);
    if (!listener) return listener.error();
    raw_acceptors.push_back(std::move(listener).value());
    ports.raw.push_back(raw_acceptors.back().local_endpoint().port());
  }

  auto self = shared_from_this();
  std::string control_line = "devices connect to 127.0.0.1:" + std::to_string(ports.control);
  control_line += tls_context_ ? " over TLS (certificate " + fingerprint() + ")" : " in plain TCP";
  log(control_line);
  asio::co_spawn(strand, accept_loop(self, *control_acceptor, "a device", serve_control),
                 log_failure(self, "the control listener"));
  if (public_acceptor) {
    log("visitors: http://<name>-<port>." + options.domain + ":" +
        std::to_string(*ports.public_http) + "/");
    asio::co_spawn(strand,
                   accept_loop(self, *public_acceptor, "a visitor", serve_public_visitor,
                               Home::visitor_executor),
                   log_failure(self, "the public listener"));
  }
  if (front_door_acceptor) {
    std::string line = "TLS front door on 127.0.0.1:" + std::to_string(*ports.public_https) +
                       " (certificates for <name>." + options.domain + " from a test authority";
    if (!options.front_ca_file.empty())
      line += ", written to " + quoted_form(options.front_ca_file.string());
    log(line + ")");
    asio::co_spawn(
        strand, accept_loop(self, *front_door_acceptor, "a TLS visitor", serve_front_door_visitor),
        log_failure(self, "the TLS front door"));
  }
  if (admin_acceptor) {
    log("admin commands on 127.0.0.1:" + std::to_string(*ports.admin) + " (try: help)");
    asio::co_spawn(strand, accept_loop(self, *admin_acceptor, "an admin client", serve_admin),
                   log_failure(self, "the admin listener"));
  }
  for (std::size_t i = 0; i < raw_acceptors.size(); ++i) {
    RawRoute route = options.raw_routes[i];
    log("raw: 127.0.0.1:" + std::to_string(ports.raw[i]) + " -> " + route.device + ":" +
        std::to_string(route.port));
    auto serve = [route](std::shared_ptr<Core> core, tcp::socket socket) {
      return serve_raw_visitor(std::move(core), std::move(socket), route);
    };
    asio::co_spawn(
        strand, accept_loop(self, raw_acceptors[i], "a raw visitor", serve, Home::visitor_executor),
        log_failure(self, "a raw listener"));
  }
  if (tls_context_ && options.swap_cert_after.count() > 0) {
    swap_timer.expires_after(options.swap_cert_after);
    swap_timer.async_wait([self](std::error_code ec) {
      if (ec || self->stopping) return;
      auto pair = generate_certificate(self->options.domain);
      auto installed = pair ? self->install_certificate(pair.value()) : Status(pair.error());
      if (!installed) {
        self->log("could not swap the certificate: " + installed.error().display());
        return;
      }
      self->log("new connections now get a new certificate " + self->fingerprint() +
                " (--swap-cert-after)");
    });
  }
  return ports;
}

void Core::stop() {
  if (stopping) return;
  stopping = true;
  std::error_code ignored;  // a listener that failed to open has nothing to close
  if (control_acceptor) control_acceptor->close(ignored);
  if (public_acceptor) public_acceptor->close(ignored);
  if (front_door_acceptor) front_door_acceptor->close(ignored);
  if (front_door) front_door->stop();
  if (admin_acceptor) admin_acceptor->close(ignored);
  for (auto& acceptor : raw_acceptors) acceptor.close(ignored);
  swap_timer.cancel();
  for (const auto& session : std::vector(sessions.begin(), sessions.end())) session->close();
  for (const auto& socket : std::vector(loose_sockets.begin(), loose_sockets.end()))
    socket->close(ignored);
  loose_sockets.clear();
  for (const auto& visitor : std::vector(relayed_visitors.begin(), relayed_visitors.end()))
    visitor->close();
  relayed_visitors.clear();
  log("stopped");
  if (options.on_stop) options.on_stop();
}

asio::any_io_executor Core::next_visitor_executor() { return visitor_handoffs->next_executor(); }

Status Core::install_certificate(const CertificatePair& pair) {
  auto fingerprint = certificate_fingerprint(pair.cert_pem);
  if (!fingerprint) return fingerprint.error();
  auto context = make_server_context(pair);
  if (!context) return context.error();
  tls_context_ = std::move(context).value();
  std::lock_guard lock(fingerprint_mutex_);
  fingerprint_ = std::move(fingerprint).value();
  return {};
}

std::string Core::fingerprint() const {
  std::lock_guard lock(fingerprint_mutex_);
  return fingerprint_;
}

std::optional<std::string> Core::refusal_for(const Hello& hello,
                                             const std::optional<std::string>& invite) {
  std::optional<std::string_view> owner;
  if (auto found = owners.find(hello.name); found != owners.end()) owner = found->second;
  Policy policy{options.invite_code, options.max_mappings, options.blocked_ports,
                options.daily_quota};
  return registration_refusal(Applicant{hello, invite, owner, usage_of(hello.token).used}, policy);
}

void Core::register_device(const std::shared_ptr<ControlSession>& session) {
  auto& slot = devices[session->name()];
  if (slot && slot != session) {
    log(session->name() + " connected again from " + session->peer() +
        "; closing its older connection from " + slot->peer());
    slot->close();
  }
  slot = session;
  owners.emplace(session->name(), session->token());
}

void Core::unregister(ControlSession* session) {
  for (auto it = sessions.begin(); it != sessions.end(); ++it) {
    if (it->get() == session) {
      sessions.erase(it);
      break;
    }
  }
  auto found = devices.find(session->name());
  if (found != devices.end() && found->second.get() == session) devices.erase(found);
}

std::shared_ptr<ControlSession> Core::device(std::string_view name) const {
  auto found = devices.find(name);
  return found == devices.end() ? nullptr : found->second;
}

std::vector<std::shared_ptr<ControlSession>> Core::sessions_of(std::string_view token) const {
  std::vector<std::shared_ptr<ControlSession>> found;
  for (const auto& [name, session] : devices) {
    if (session->token() == token) found.push_back(session);
  }
  return found;
}

Usage& Core::usage_of(const std::string& token) {
  Usage& entry = usage[token];
  std::uint64_t now = options.clock();
  if (now >= entry.reset_at) {
    entry.used = 0;
    entry.reset_at = next_utc_midnight(now);
    entry.quota_announced = false;
  }
  return entry;
}

AccountFigures Core::account_for(const std::string& token) {
  const Usage& entry = usage_of(token);
  return AccountFigures{options.plan,   entry.used,           options.daily_quota,
                        entry.reset_at, options.max_mappings, options.plan_ends_at};
}

void Core::count_usage(const std::string& token, std::uint64_t bytes) {
  Usage& entry = usage_of(token);
  entry.used = entry.used > UINT64_MAX - bytes ? UINT64_MAX : entry.used + bytes;
  auto online = sessions_of(token);
  std::uint64_t quota = options.daily_quota;
  if (quota == 0 || entry.used < quota) {
    entry.quota_announced = false;
  } else if (!entry.quota_announced) {
    entry.quota_announced = true;
    for (const auto& session : online) session->end_for_quota(quota_text(entry.used, quota));
    return;
  }
  for (const auto& session : online) session->announce_account();
}

void Core::recheck_quota_and_accounts() {
  std::set<std::string> tokens;
  for (const auto& [name, session] : devices) tokens.insert(session->token());
  for (const auto& token : tokens) count_usage(token, 0);
}

namespace {

// Targets of a frame-sending command: "@name" picks one device, otherwise all.
Result<std::vector<std::shared_ptr<ControlSession>>> pick_targets(const Core& core,
                                                                  std::string_view& rest) {
  std::vector<std::shared_ptr<ControlSession>> targets;
  if (auto name = take_target(rest)) {
    auto session = core.device(*name);
    if (!session)
      return IoError::make(ErrorKind::NotFound,
                           "no device named " + quoted_form(*name) + " is online");
    targets.push_back(session);
    return targets;
  }
  for (const auto& [name, session] : core.devices) targets.push_back(session);
  if (targets.empty()) return IoError::make(ErrorKind::NotFound, "no device is online");
  return targets;
}

// Sends to each target; a muted one gets its frame when the mute ends.
asio::awaitable<AdminReply> send_to(std::shared_ptr<Core> core,
                                    std::vector<std::shared_ptr<ControlSession>> targets,
                                    std::function<Frame(const ControlSession&)> make) {
  std::vector<std::string> waiting;
  for (const auto& session : targets) {
    Frame frame = make(*session);
    if (session->muted()) {
      waiting.push_back(session->name());
      auto task = [](std::shared_ptr<ControlSession> target, Frame f) -> asio::awaitable<void> {
        (void)co_await target->send(std::move(f));  // a device gone meanwhile just misses it
      };
      asio::co_spawn(core->strand, task(session, std::move(frame)),
                     log_failure(core, "a queued admin frame"));
      continue;
    }
    auto sent = co_await session->send(std::move(frame));
    if (!sent)
      co_return AdminReply{"error sending to " + session->name() + ": " + sent.error().display()};
  }
  AdminReply reply{"ok"};
  if (!waiting.empty()) {
    std::string names;
    for (const auto& name : waiting) names += (names.empty() ? "" : ", ") + name;
    reply.text += " (muted, sent when unmuted: " + names + ")";
  }
  co_return reply;
}

Frame text_frame(std::uint8_t kind, std::uint32_t id, std::string_view text) {
  return new_frame(kind, id, as_bytes(text));
}

}  // namespace

asio::awaitable<AdminReply> Core::execute(std::string line) {
  auto self = shared_from_this();
  std::string_view rest = trim(line);
  const std::string verb = ascii_lower(take_word(rest));
  auto error = [](std::string text) { return AdminReply{"error " + std::move(text)}; };
  auto text_arg = [&]() -> Result<std::string> { return unescape(rest); };
  // A frame-sending command fills these, then sends below.
  std::function<Frame(const ControlSession&)> make;
  std::vector<std::shared_ptr<ControlSession>> recipients;

  if (verb == "help") {
    co_return AdminReply{
        "ok help status devices fingerprint notice punch offers results account frame drop mute "
        "unmute release usage refuse-next stall-next swap-cert set shutdown quit (quillmar-devgw "
        "--help explains them)"};
  }
  if (verb == "status") {
    std::string text =
        "ok control=" + std::to_string(ports.control) + " tls=" + yes_no(tls_context_ != nullptr);
    if (ports.public_http) text += " http=" + std::to_string(*ports.public_http);
    if (ports.public_https) text += " https=" + std::to_string(*ports.public_https);
    if (ports.admin) text += " admin=" + std::to_string(*ports.admin);
    text += " devices=";
    bool first = true;
    for (const auto& [name, session] : devices) {
      text += (first ? "" : ",") + name + "(" + join_ports(session->ports(), " ") + ";" +
              std::to_string(session->stream_count()) + " streams" +
              (session->muted() ? ";muted" : "") + ")";
      first = false;
    }
    co_return AdminReply{text};
  }
  if (verb == "devices") {
    std::string text = "ok";
    for (const auto& [name, session] : devices) text += " " + name;
    co_return AdminReply{text};
  }
  if (verb == "fingerprint") {
    if (!tls_context_) co_return error("TLS is off");
    co_return AdminReply{"ok " + fingerprint()};
  }
  if (verb == "notice" || verb == "punch") {
    auto targets = pick_targets(*this, rest);
    if (!targets) co_return error(targets.error().message);
    auto text = text_arg();
    if (!text) co_return error(text.error().message);
    std::uint8_t kind = verb == "notice" ? KIND_ERROR : KIND_PUNCH_STATUS;
    make = [kind, t = text.value()](const ControlSession&) { return text_frame(kind, 0, t); };
    recipients = std::move(targets).value();
  }
  if (verb == "offers" || verb == "results") {
    std::string_view name = take_word(rest);
    if (name.empty()) co_return error("give the device's name: " + verb + " <name>");
    co_return AdminReply{punch_log.reply(verb, name)};
  }
  if (verb == "account") {
    auto targets = pick_targets(*this, rest);
    if (!targets) co_return error(targets.error().message);
    auto text = text_arg();
    if (!text) co_return error(text.error().message);
    make = [self, t = text.value()](const ControlSession& session) {
      return text_frame(KIND_ACCOUNT, 0,
                        t.empty() ? account_line(self->account_for(session.token())) : t);
    };
    recipients = std::move(targets).value();
  }
  if (verb == "frame") {
    auto targets = pick_targets(*this, rest);
    if (!targets) co_return error(targets.error().message);
    auto kind_word = take_word(rest);
    auto kind = parse_frame_kind(kind_word);
    if (!kind)
      co_return error("unknown frame kind " + quoted_form(kind_word) +
                      " (a number 0 to 255 or a name like data)");
    auto id_word = take_word(rest);
    auto id = parse_decimal(id_word, UINT32_MAX);
    if (!id)
      co_return error("the stream id " + quoted_form(id_word) +
                      " is not a number from 0 to 4294967295");
    auto payload = text_arg();
    if (!payload) co_return error(payload.error().message);
    if (payload.value().size() > MAX_FRAME_LEN)
      co_return error("the payload is larger than a frame can carry");
    auto stream_id = static_cast<std::uint32_t>(*id);
    make = [k = *kind, stream_id, p = payload.value()](const ControlSession&) {
      return text_frame(k, stream_id, p);
    };
    recipients = std::move(targets).value();
  }
  if (make) {
    // Named values only across this co_await: GCC 12 destroys some temporaries of a
    // co_await expression twice.
    AdminReply reply = co_await send_to(self, std::move(recipients), std::move(make));
    co_return reply;
  }
  if (verb == "drop" || verb == "mute" || verb == "unmute") {
    std::string name(take_word(rest));
    auto session = device(name);
    if (!session) co_return error("no device named " + quoted_form(name) + " is online");
    if (verb == "drop") {
      log("dropping " + name + " as asked");
      session->close();
    } else {
      session->set_muted(verb == "mute");
      log(name +
          (verb == "mute" ? " is muted: no reading from it, no sending to it" : " is unmuted"));
    }
    co_return AdminReply{"ok"};
  }
  if (verb == "release") {
    std::string name(take_word(rest));
    if (owners.erase(name) == 0) co_return error("nobody owns the name " + quoted_form(name));
    co_return AdminReply{"ok"};
  }
  if (verb == "usage") {
    std::string name(take_word(rest));
    auto owner = owners.find(name);
    if (owner == owners.end())
      co_return error("no device has registered the name " + quoted_form(name));
    auto bytes = parse_byte_count(take_word(rest));
    if (!bytes) co_return error("the byte count is not a number (K, M and G suffixes allowed)");
    usage_of(owner->second).used = *bytes;
    count_usage(owner->second, 0);
    co_return AdminReply{"ok"};
  }
  if (verb == "refuse-next") {
    auto text = text_arg();
    if (!text) co_return error(text.error().message);
    if (text.value().empty()) co_return error("give the refusal text");
    refuse_next = text.value();
    co_return AdminReply{"ok"};
  }
  if (verb == "stall-next") {
    stall_next = true;
    co_return AdminReply{"ok"};
  }
  if (verb == "swap-cert") {
    if (!tls_context_) co_return error("TLS is off");
    auto pair = generate_certificate(options.domain);
    if (!pair) co_return error(pair.error().display());
    if (auto installed = install_certificate(pair.value()); !installed)
      co_return error(installed.error().display());
    log("new connections now get a new certificate " + fingerprint());
    co_return AdminReply{"ok " + fingerprint()};
  }
  if (verb == "set") {
    std::string key = ascii_lower(take_word(rest));
    std::string value(rest);
    auto number = [&](std::uint64_t max) { return parse_decimal(value, max); };
    bool accounts_changed = false;
    if (key == "plan") {
      if (!is_plan_name(value))
        co_return error("a plan name is 1 to 24 letters, digits, '_' or '-'");
      options.plan = value;
      accounts_changed = true;
    } else if (key == "quota") {
      auto bytes = parse_byte_count(value);
      if (!bytes) co_return error("the quota is a byte count (K, M and G suffixes allowed)");
      options.daily_quota = *bytes;
      accounts_changed = true;
    } else if (key == "max-mappings") {
      auto n = number(UINT32_MAX);
      if (!n) co_return error("max-mappings is a number");
      options.max_mappings = static_cast<std::uint32_t>(*n);
      accounts_changed = true;
    } else if (key == "plan-ends-at") {
      auto n = number(UINT64_MAX);
      if (!n) co_return error("plan-ends-at is a Unix time in seconds");
      options.plan_ends_at = *n;
      accounts_changed = true;
    } else if (key == "pubport" || key == "pubtls") {
      auto n = number(UINT64_MAX);
      if (!n) co_return error(key + " is a number");
      (key == "pubport" ? options.pubport : options.pubtls) = *n;
      (key == "pubport" ? options.pubport_is_public_http : options.pubtls_is_public_https) = false;
    } else if (key == "invite") {
      options.invite_code = value == "off" ? std::string() : value;
    } else if (key == "block") {
      auto list = value == "off"
                      ? std::optional<std::vector<std::uint16_t>>(std::vector<std::uint16_t>{})
                      : parse_port_list(value);
      if (!list) co_return error("block takes ports like 22,445 or off");
      options.blocked_ports = *list;
    } else if (key == "half-close") {
      if (value != "on" && value != "off") co_return error("half-close is on or off");
      options.half_close = value == "on";
    } else {
      co_return error(
          "unknown setting " + quoted_form(key) +
          " (plan, quota, max-mappings, plan-ends-at, pubport, pubtls, invite, block, half-close)");
    }
    if (accounts_changed) recheck_quota_and_accounts();
    co_return AdminReply{"ok"};
  }
  if (verb == "shutdown") co_return AdminReply{"ok", true};
  if (verb == "quit") co_return AdminReply{"ok"};
  co_return error("unknown command " + quoted_form(verb) + " (try help)");
}

DevGateway::DevGateway(DevGatewayOptions options) : options_(std::move(options)) {}

DevGateway::~DevGateway() { stop(); }

Result<BoundPorts> DevGateway::start(asio::io_context& io) {
  if (core_) return IoError::make(ErrorKind::AlreadyExists, "the gateway has been started already");
  auto core = std::make_shared<Core>(io, std::move(options_));
  auto ports = core->start();
  if (!ports) return ports.error();  // nothing was spawned; the listeners close with the core
  core_ = std::move(core);
  return ports;
}

void DevGateway::stop() {
  if (!core_) return;
  asio::dispatch(core_->strand, [core = core_] { core->stop(); });
}

asio::awaitable<std::string> DevGateway::command(std::string line) {
  if (!core_) co_return "error the gateway has not been started";
  AdminReply reply = co_await asio::co_spawn(core_->strand, run_command(core_, std::move(line)),
                                             asio::use_awaitable);
  if (reply.stop_after) stop();
  co_return reply.text;
}

std::string DevGateway::fingerprint() const { return core_ ? core_->fingerprint() : std::string(); }

std::string DevGateway::front_door_authority() const {
  return core_ && core_->front_door ? core_->front_door->authority_pem() : std::string();
}

}  // namespace quillmar::devgw
