#include "devgw/devgw_cli.hpp"

#include <functional>
#include <map>

#include "devgw/devgw_admin.hpp"
#include "devgw/devgw_rules.hpp"
#include "proto/text.hpp"

namespace quillmar::devgw {
namespace {

constexpr std::string_view OPTIONS_HELP = R"(Usage: quillmar-devgw [options]

A local stand-in of the Quillmar gateway. Devices (the Quillmar client) register on
the control port; visitors reach a device's mapped port over plain HTTP on the public
port by the Host name "<name>-<port>.<domain>", or "<name>.<domain>" for its first
mapped port. Everything listens on 127.0.0.1 only.

Listeners:
  --control-port P        devices connect here (default 7000; 0 = any free port)
  --public-http-port P    visitors over plain HTTP (default 7080; 0 = any; off = none)
  --public-https-port P   the TLS front door before the public HTTP port (default off;
                          0 = any): each visitor gets a certificate for the name it asks
                          for under the domain, from a test authority made at start
  --front-ca-out FILE     write that authority's certificate there (PEM), for the
                          client's --front-ca
  --admin-port P          admin line commands (default 7001; 0 = any; off = none)
  --raw P=NAME:PORT       every connection to port P goes, unread, to device NAME's
                          mapped PORT (repeatable; for benchmarks and non-HTTP services)
  --domain D              the public base domain (default localhost: browsers and curl
                          resolve *.localhost to this machine without any DNS set-up)

TLS on the control port (the client pins the certificate's SHA-256 fingerprint):
  --tls                   TLS with a certificate generated at start (CN = the domain)
  --cert FILE --key FILE  TLS with this PEM certificate and key; when both files are
                          missing, a generated pair is written there first, so the
                          pin survives restarts
  --swap-cert-after S     after S seconds, present a new generated certificate to new
                          connections (shows a pin change; also: admin swap-cert)

Welcome and account line:
  --pubport N|auto        the welcome's pubport (default 0; auto = the public HTTP port)
  --pubtls N|auto         the welcome's pubtls (default 0; auto = the TLS front door's port)
  --plan NAME             the account line's plan (default dev)
  --plan-ends-at T        the account line's plan end in Unix seconds (default 0 = none)
  --account-interval MS   least milliseconds between two account lines (default 1000)

Registration rules (each off by default):
  --invite CODE           require this invite code (the refusal mentions 接入码)
  --max-mappings N        refuse a hello with more than N ports ("quota: 映射数量…")
  --block-ports LIST      refuse a hello mapping any of these ports, e.g. 22,445
  --daily-quota BYTES     relayed bytes per device and UTC day, K/M/G suffixes allowed;
                          crossing it ends the session with a "quota: …" notice

Streams and timing:
  --half-close            also send KIND_HALF_CLOSE when a visitor ends its input
  --handshake-timeout S   seconds a device has for its hello, invite and access (default 15)
  --visitor-threads N     threads for the visitors' connections (default 2; 0 = all
                          on the thread of the device connections)

Other:
  -v, --verbose           log every stream, heartbeat and admin connection too
  -h, --help              this text

Device names belong to the token that registered them first (in memory, until
"release"). A device reconnecting with its own token replaces its older connection.

)";

constexpr std::string_view EXAMPLE_HELP = R"(
Commands come from the admin port (for example: nc 127.0.0.1 7001) and, when standard
input is a terminal, from standard input ("quit" there stops the gateway).

Example:
  quillmar-devgw --tls --pubport auto
  quillmar --gw 127.0.0.1:7000 --domain localhost --sub kite --http 8000
  curl http://kite-8000.localhost:7080/
)";

IoError bad_value(std::string_view option, std::string_view value, std::string_view expected) {
  return IoError::make(ErrorKind::InvalidInput, std::string(option) + " " + quoted_form(value) +
                                                    ": " + std::string(expected));
}

Result<std::optional<std::uint16_t>> listener_port(std::string_view option, std::string_view value,
                                                   bool may_be_off) {
  if (may_be_off && value == "off") return std::optional<std::uint16_t>();
  auto port = parse_u16(value);
  if (!port)
    return bad_value(
        option, value,
        may_be_off ? "expected a port 0 to 65535 or off" : "expected a port 0 to 65535");
  return std::optional<std::uint16_t>(*port);
}

Result<RawRoute> raw_route(std::string_view value) {
  auto equals = value.find('=');
  auto colon = value.rfind(':');
  if (equals == std::string_view::npos || colon == std::string_view::npos || colon < equals) {
    return bad_value("--raw", value, "expected LISTEN=NAME:PORT, e.g. 9000=kite:5201");
  }
  RawRoute route;
  auto listen = parse_u16(value.substr(0, equals));
  auto port = parse_u16(value.substr(colon + 1));
  route.device = std::string(value.substr(equals + 1, colon - equals - 1));
  if (!listen || !port || *port == 0 || !is_device_name(route.device)) {
    return bad_value("--raw", value,
                     "expected LISTEN=NAME:PORT with a device name and ports, e.g. 9000=kite:5201");
  }
  route.listen_port = *listen;
  route.port = *port;
  return route;
}

}  // namespace

std::string help_text() {
  return std::string(OPTIONS_HELP) + std::string(ADMIN_HELP) + std::string(EXAMPLE_HELP);
}

Result<CommandLine> parse_command_line(const std::vector<std::string>& args) {
  CommandLine cli;
  DevGatewayOptions& o = cli.options;
  o.control_port = DEFAULT_CONTROL_PORT;
  o.public_http_port = DEFAULT_PUBLIC_HTTP_PORT;
  o.admin_port = DEFAULT_ADMIN_PORT;
  bool have_cert = false;
  bool have_key = false;
  bool want_generated = false;

  using Setter = std::function<Status(std::string_view option, std::string_view value)>;
  auto number_into = [](auto& field, std::uint64_t max, std::string_view expected) {
    return [target = &field, max, expected](std::string_view option,
                                            std::string_view value) -> Status {
      auto n = parse_decimal(value, max);
      if (!n) return bad_value(option, value, expected);
      *target = static_cast<std::remove_reference_t<decltype(field)>>(*n);
      return {};
    };
  };
  // A listener's port, or "off" for none.
  auto optional_port_into = [](std::optional<std::uint16_t>& field) {
    return [target = &field](std::string_view option, std::string_view value) -> Status {
      auto port = listener_port(option, value, true);
      if (!port) return port.error();
      *target = port.value();
      return {};
    };
  };
  // A number, or "auto" for the bound port of the listener behind it.
  auto number_or_auto = [](std::uint64_t& field, bool& automatic) {
    return [target = &field, flag = &automatic](std::string_view option,
                                                std::string_view value) -> Status {
      *flag = value == "auto";
      if (*flag) return {};
      auto n = parse_decimal(value, UINT64_MAX);
      if (!n) return bad_value(option, value, "expected a number or auto");
      *target = *n;
      return {};
    };
  };
  auto seconds_into = [](std::chrono::milliseconds& field) {
    return [target = &field](std::string_view option, std::string_view value) -> Status {
      auto n = parse_decimal(value, 24ULL * 60 * 60);
      if (!n) return bad_value(option, value, "expected whole seconds");
      *target = std::chrono::seconds(*n);
      return {};
    };
  };

  const std::map<std::string, Setter, std::less<>> with_value = {
      {"--domain",
       [&](std::string_view option, std::string_view value) -> Status {
         if (value.empty()) return bad_value(option, value, "expected a domain such as localhost");
         o.domain = ascii_lower(value);
         return {};
       }},
      {"--control-port",
       [&](std::string_view option, std::string_view value) -> Status {
         auto port = listener_port(option, value, false);
         if (!port) return port.error();
         o.control_port = *port.value();
         return {};
       }},
      {"--public-http-port", optional_port_into(o.public_http_port)},
      {"--public-https-port", optional_port_into(o.public_https_port)},
      {"--front-ca-out",
       [&](std::string_view, std::string_view value) -> Status {
         o.front_ca_file = std::filesystem::path(std::u8string(value.begin(), value.end()));
         return {};
       }},
      {"--admin-port", optional_port_into(o.admin_port)},
      {"--raw",
       [&](std::string_view, std::string_view value) -> Status {
         auto route = raw_route(value);
         if (!route) return route.error();
         o.raw_routes.push_back(std::move(route).value());
         return {};
       }},
      {"--cert",
       [&](std::string_view, std::string_view value) -> Status {
         o.cert_file = std::filesystem::path(std::u8string(value.begin(), value.end()));
         have_cert = true;
         return {};
       }},
      {"--key",
       [&](std::string_view, std::string_view value) -> Status {
         o.key_file = std::filesystem::path(std::u8string(value.begin(), value.end()));
         have_key = true;
         return {};
       }},
      {"--swap-cert-after", seconds_into(o.swap_cert_after)},
      {"--pubport", number_or_auto(o.pubport, o.pubport_is_public_http)},
      {"--pubtls", number_or_auto(o.pubtls, o.pubtls_is_public_https)},
      {"--plan",
       [&](std::string_view option, std::string_view value) -> Status {
         if (!is_plan_name(value))
           return bad_value(option, value, "expected 1 to 24 letters, digits, '_' or '-'");
         o.plan = std::string(value);
         return {};
       }},
      {"--plan-ends-at", number_into(o.plan_ends_at, UINT64_MAX, "expected Unix seconds")},
      {"--account-interval",
       [&](std::string_view option, std::string_view value) -> Status {
         auto n = parse_decimal(value, 24ULL * 60 * 60 * 1000);
         if (!n) return bad_value(option, value, "expected milliseconds");
         o.account_interval = std::chrono::milliseconds(*n);
         return {};
       }},
      {"--invite",
       [&](std::string_view option, std::string_view value) -> Status {
         if (value.empty()) return bad_value(option, value, "expected an invite code");
         o.invite_code = std::string(value);
         return {};
       }},
      {"--max-mappings", number_into(o.max_mappings, UINT32_MAX, "expected a number")},
      {"--block-ports",
       [&](std::string_view option, std::string_view value) -> Status {
         auto ports = parse_port_list(value);
         if (!ports || ports->empty())
           return bad_value(option, value, "expected ports such as 22,445");
         o.blocked_ports = *ports;
         return {};
       }},
      {"--daily-quota",
       [&](std::string_view option, std::string_view value) -> Status {
         auto bytes = parse_byte_count(value);
         if (!bytes) return bad_value(option, value, "expected bytes, with an optional K, M or G");
         o.daily_quota = *bytes;
         return {};
       }},
      {"--handshake-timeout", seconds_into(o.handshake_timeout)},
      {"--visitor-threads", number_into(cli.visitor_threads, MAX_VISITOR_THREADS,
                                        "expected a number of threads, 0 to 64")},
  };

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg == "-h" || arg == "--help") {
      cli.help = true;
      continue;
    }
    if (arg == "-v" || arg == "--verbose") {
      o.verbose = true;
      continue;
    }
    if (arg == "--tls") {
      want_generated = true;
      continue;
    }
    if (arg == "--half-close") {
      o.half_close = true;
      continue;
    }
    std::string_view name = arg;
    std::optional<std::string_view> value;
    if (auto equals = arg.find('='); arg.starts_with("--") && equals != std::string_view::npos) {
      name = arg.substr(0, equals);
      value = arg.substr(equals + 1);
    }
    auto setter = with_value.find(name);
    if (setter == with_value.end()) {
      return IoError::make(ErrorKind::InvalidInput,
                           "unknown option " + quoted_form(arg) + " (see --help)");
    }
    if (!value) {
      if (i + 1 == args.size())
        return IoError::make(ErrorKind::InvalidInput, std::string(name) + " needs a value");
      value = args[++i];
    }
    if (auto set = setter->second(name, *value); !set) return set.error();
  }

  if (have_cert != have_key)
    return IoError::make(ErrorKind::InvalidInput, "--cert and --key go together");
  if (have_cert) {
    o.tls = TlsSetup::files;
  } else if (want_generated) {
    o.tls = TlsSetup::generated;
  }
  if (o.swap_cert_after.count() > 0 && o.tls == TlsSetup::off) {
    return IoError::make(ErrorKind::InvalidInput,
                         "--swap-cert-after needs --tls or --cert and --key");
  }
  return cli;
}

}  // namespace quillmar::devgw
