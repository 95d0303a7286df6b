// quillmar-devgw: the gateway stand-in as a program. The options are devgw_cli.cpp's,
// the gateway dev_gateway.cpp's; this file wires them to the process: Ctrl-C, the
// admin commands on an interactive standard input, and the exit code.
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/use_future.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif
#if defined(__GLIBC__)  // <cstdlib> defines it where glibc is the C library
#include <malloc.h>
#endif

#include "devgw/dev_gateway.hpp"
#include "devgw/devgw_cli.hpp"
#include "devgw/devgw_contexts.hpp"
#include "proto/frame.hpp"

namespace {

using quillmar::devgw::DevGateway;

void print_line(std::FILE* stream, const std::string& text) {
  std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stream);  // one write per line
  std::fflush(stream);
}

// The core's thread allocates every payload it reads from a device, and a visitor thread
// frees it once written, moments later. By default glibc hands the top of the heap back
// to the system whenever 128 KiB lie free there, so under load many new payloads took
// fresh pages, each with a page fault and the kernel's zeroing. The heap now keeps up to
// 64 of the largest frames' worth (64 MiB) for reuse.
void keep_freed_payloads() {
#if defined(__GLIBC__)
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(2 * quillmar::MAX_FRAME_LEN));
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(64 * quillmar::MAX_FRAME_LEN));
#endif
}

bool stdin_is_terminal() {
#ifdef _WIN32
  return _isatty(_fileno(stdin)) != 0;
#else
  return isatty(fileno(stdin)) != 0;
#endif
}

// Reads admin commands from the terminal until "quit" or the end of input, which
// stop the gateway. It blocks in the read, so it runs beside the io_context's thread
// and hands each line over to the gateway's strand.
void read_terminal_commands(DevGateway& gateway, asio::io_context& io) {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(' ') == std::string::npos) continue;
    if (line == "quit" || line == "exit") break;
    auto reply = asio::co_spawn(io, gateway.command(line), asio::use_future);
    print_line(stdout, reply.get());
  }
  gateway.stop();
}

}  // namespace

int main(int argc, char** argv) {
  keep_freed_payloads();
  auto cli = quillmar::devgw::parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
  if (!cli) {
    print_line(stderr, "devgw: " + cli.error().message);
    return 2;
  }
  if (cli.value().help) {
    std::string help = quillmar::devgw::help_text();
    std::fwrite(help.data(), 1, help.size(), stdout);
    return 0;
  }

  quillmar::devgw::GatewayContexts contexts(cli.value().visitor_threads);
  asio::io_context& io = contexts.core();
  asio::signal_set signals(io, SIGINT, SIGTERM);
  auto options = std::move(cli).value().options;
  options.visitor_executors = contexts.visitor_executors();
  options.one_core_thread = true;  // io.run() below; the terminal reader only posts
  options.on_stop = [&signals] {
    std::error_code ignored;  // nothing to cancel once a signal has arrived
    signals.cancel(ignored);
  };
  DevGateway gateway(std::move(options));
  auto ports = gateway.start(io);
  if (!ports) {
    print_line(stderr, "devgw: error: " + ports.error().display());
    return 1;
  }
  signals.async_wait([&gateway](std::error_code ec, int) {
    if (!ec) gateway.stop();
  });

  bool interactive = stdin_is_terminal();
  if (interactive) {
    print_line(stderr, "devgw: type admin commands here (help, status, …); quit stops the gateway");
    std::thread(read_terminal_commands, std::ref(gateway), std::ref(io)).detach();
  }
  io.run();
  if (interactive) {
    // The terminal reader may still be blocked in its read and holds references to
    // the gateway and the io_context: leave without destroying them.
    std::fflush(stdout);
    std::exit(0);
  }
  return 0;
}
