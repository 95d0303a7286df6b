// The console's exchange without the socket: bytes arriving in pieces of chosen sizes
// through the request framing, then the Host, Origin and length checks, the routes and
// the body readers behind them. The framing stops exactly at the first complete request
// (or a full buffer, or the end of input), and every reply is well formed with JSON
// that parses.
#include <fstream>

#include "console/server.hpp"
#include "console_reply_check.hpp"
#include "fuzz_files.hpp"
#include "fuzz_target.hpp"

namespace quillmar::fuzz {
namespace {

constexpr std::uint16_t CONSOLE_PORT = 7788;
constexpr std::string_view KEY_FILE_TEXT =
    "token=0123456789abcdef0123456789abcdef\nsub=kite\nports=80\n";

struct Routes {
  Routes() {
    auto [reload_sender, reload_receiver] = make_queue<Signal>(0);
    auto [control_sender, control_receiver] = make_queue<SessionControl>(0);
    reload_rx.emplace(std::move(reload_receiver));
    control_rx.emplace(std::move(control_receiver));
    context.emplace(RouteContext{"example.test", "gw.example.test:443", nullptr,
                                 std::move(reload_sender), std::move(control_sender)});
  }
  // Every run starts from the same state and key file, whatever earlier runs saved.
  void reset() {
    auto shared = std::make_shared<SharedState>();
    shared->key_path = scratch_folder() / "id.ini";
    shared->device_id = "0123456789abcdef0123456789abcdef";
    shared->sub.set("kite");
    shared->ports.set({80});
    std::ofstream(shared->key_path, std::ios::binary | std::ios::trunc) << KEY_FILE_TEXT;
    context->shared = std::move(shared);
  }
  // The routes' messages are taken out, so that a long run does not pile them up.
  void drain() {
    while (reload_rx->try_receive()) {
    }
    while (control_rx->try_receive()) {
    }
  }
  std::optional<ReloadReceiver> reload_rx;
  std::optional<ControlReceiver> control_rx;
  std::optional<RouteContext> context;
};

// Piece sizes from a small generator: mostly a few bytes, now and then a large read.
class Pieces {
 public:
  explicit Pieces(std::uint8_t seed) : state_(seed * 2654435761u + 1) {}
  std::size_t next() {
    state_ = state_ * 1103515245u + 12345u;
    const std::uint32_t x = state_ >> 8;
    return (x % 8 == 0) ? 1 + x % 4096 : 1 + x % 6;
  }

 private:
  std::uint32_t state_;
};

// What read_request would return for these bytes arriving in these pieces.
std::string_view framed(std::string_view bytes, Pieces& pieces) {
  RequestFraming framing;
  std::size_t filled = 0;
  std::size_t before = 0;
  bool complete = false;
  while (filled < std::min(bytes.size(), REQUEST_BUFFER_SIZE) && !complete) {
    before = filled;
    const std::size_t fresh =
        std::min({pieces.next(), bytes.size() - filled, REQUEST_BUFFER_SIZE - filled});
    filled += fresh;
    complete = framing.complete(bytes.substr(0, filled), fresh);
  }
  const std::string_view got = bytes.substr(0, filled);
  // Completion only grows with more bytes, so the piece before the stop shows whether
  // the framing missed an earlier one.
  require(!request_complete(bytes.substr(0, before)), "the framing read past a complete request");
  require(complete == request_complete(got), "the framing and request_complete disagree");
  return got;
}

void console_request(Input input) {
  static Routes routes;
  routes.reset();
  InputReader reader(input);
  Pieces pieces(reader.byte());
  routes.context->shared->punch_api_off = (reader.byte() & 1) == 0;

  const std::string_view request = framed(reader.rest_text(), pieces);
  const std::string reply = answer_console_request(request, *routes.context, CONSOLE_PORT);
  const std::string problem = test::console_reply_problem(reply);
  require(problem.empty(), problem);
  routes.drain();
}

}  // namespace
}  // namespace quillmar::fuzz

QUILLMAR_FUZZ_TARGET(console_request, quillmar::fuzz::console_request)
