// The gateway's one reply to the handshake, welcome or refusal or anything else, with
// any payload: the session is accepted only on a welcome, and a refusal gives the
// outcome its text calls for and changes only what that outcome changes.
#include <cstring>

#include "direct/status_handling.hpp"
#include "fake_halves.hpp"
#include "fuzz_async.hpp"
#include "proto/text.hpp"
#include "session/handshake.hpp"

namespace quillmar::fuzz {
namespace {

std::uint8_t reply_kind(std::uint8_t steer) {
  if (steer < 112) return KIND_WELCOME;
  if (steer < 240) return KIND_ERROR;
  return steer;  // any other kind byte, the two above included
}

// Every run of ASCII digits of the text, as the numbers they spell (capped).
bool spells_port(std::string_view text, std::uint16_t port) {
  std::size_t at = 0;
  while ((at = text.find_first_of("0123456789", at)) != std::string_view::npos) {
    const std::size_t end = std::min(text.find_first_not_of("0123456789", at), text.size());
    if (parse_decimal(text.substr(at, end - at), 65535) == port) return true;
    at = end;
  }
  return false;
}

void check_refusal(const std::string& text, std::optional<SessionOutcome> outcome,
                   const SharedState& shared) {
  require(outcome.has_value(), "a refusal accepted the session");
  require(load(shared.connected) == 0, "a refusal marked the session connected");
  if (text.starts_with("slug-taken: ")) {
    require(*outcome == SessionOutcome::OUTCOME_NAME_TAKEN, "a name refusal not taken as such");
  } else if (text.starts_with("quota:")) {
    const bool mapping_limit = mapping_limit_notice(text).has_value();
    require(
        *outcome == (mapping_limit ? SessionOutcome::OUTCOME_RETRY : SessionOutcome::OUTCOME_QUOTA),
        "a quota refusal with the wrong outcome");
    require(!mapping_limit || load(shared.hello_port_limit) >= 1, "a mapping limit of 0 ports");
  } else {
    require(*outcome == SessionOutcome::OUTCOME_RETRY, "a refusal with the wrong outcome");
    for (auto port : shared.blocked_ports.get())
      require(spells_port(text, port), "a blocked port the refusal does not name");
  }
}

void handshake_reply(Input input) {
  InputReader reader(input);
  const std::uint8_t kind = reply_kind(reader.byte());
  const Input payload = reader.rest();
  const auto header = encode_header(kind, 0, payload.size());
  std::vector<std::uint8_t> frame(FRAME_HEADER_LEN + payload.size());
  std::memcpy(frame.data(), header.data(), FRAME_HEADER_LEN);
  if (!payload.empty())
    std::memcpy(frame.data() + FRAME_HEADER_LEN, payload.data(), payload.size());

  auto state = std::make_shared<SharedState>();
  SharedState& shared = *state;
  const SessionInputs inputs{"gw.example.test:443", "example.test", "kite",
                             std::string(32, 'a'),  {80, 443},      ""};
  // No direct-connection settings: a welcome registers no offer.
  auto sent = std::make_shared<test::WriteLog>();
  PunchContext punch{
      std::make_shared<SharedWriter>(fuzz_io().get_executor(),
                                     std::make_unique<test::RecordingWriteHalf>(sent)),
      state,
      {},
      inputs.ports,
      inputs.gateway,
      inputs.domain,
      fuzz_io().get_executor(),
      {}};
  test::ScriptedReadHalf half({{std::move(frame), {}}});
  const auto outcome = run_to_end(handle_handshake_reply(half, inputs, shared, punch));
  require(sent->snapshot().empty(), "the reply made the session send frames");

  const std::string text = decode_utf8_lossy(payload);
  if (kind == KIND_WELCOME) {
    require(!outcome, "a welcome did not accept the session");
    require(load(shared.connected) == 1 && load(shared.ownership) == OWNERSHIP_MINE,
            "a welcome left the session unmarked");
    require(load(shared.front_http_port) == welcome_number(text, "pubport") &&
                load(shared.front_https_port) == welcome_number(text, "pubtls"),
            "the front-door ports differ from the welcome's");
  } else if (kind == KIND_ERROR) {
    check_refusal(text, outcome, shared);
  } else {
    require(outcome == SessionOutcome::OUTCOME_RETRY,
            "an unexpected reply did not end the session");
    require(load(shared.connected) == 0, "an unexpected reply marked the session connected");
  }
}

}  // namespace
}  // namespace quillmar::fuzz

QUILLMAR_FUZZ_TARGET(handshake_reply, quillmar::fuzz::handshake_reply)
