#include "direct/offers.hpp"

#include "direct/local_candidates.hpp"
#include "proto/text.hpp"

namespace quillmar {
namespace {

// Sends the offer and hands back the candidate text it carried.
asio::awaitable<Result<std::string>> send_with_candidates(SharedWriter& writer, std::string payload,
                                                          std::string candidates) {
  Status sent = co_await send_offer_frame(writer, std::move(payload));
  if (!sent) co_return sent.error();
  co_return candidates;
}

}  // namespace

std::string offer_payload(std::string_view role, std::string_view names,
                          std::string_view candidates) {
  return std::string(role) + "|" + std::string(names) + "|" + std::string(candidates);
}

asio::awaitable<Status> send_offer_frame(SharedWriter& writer, std::string payload) {
  Frame frame = new_frame(KIND_PUNCH_OFFER, 0, as_bytes(payload));
  co_return co_await send_frame(writer, std::move(frame));
}

asio::awaitable<Result<std::string>> send_owner_offer(SharedWriter& writer, SharedState& shared,
                                                      const std::vector<std::uint16_t>& ports,
                                                      const ProbeTargets& targets) {
  AllowList allow = shared.punch_allow.get();
  std::string candidates = local_candidates(ports.empty() ? 0 : ports.front(), targets);
  std::string payload = offer_payload("owner", join_names(allow, ","), candidates);
  co_return co_await send_with_candidates(writer, std::move(payload), std::move(candidates));
}

asio::awaitable<Result<std::string>> send_visitor_offer(SharedWriter& writer, SharedState& shared,
                                                        const ProbeTargets& targets) {
  std::string visit = shared.punch_visit.get();
  std::string candidates = local_candidates(0, targets);
  std::string payload = offer_payload("visitor", visit, candidates);
  co_return co_await send_with_candidates(writer, std::move(payload), std::move(candidates));
}

}  // namespace quillmar
