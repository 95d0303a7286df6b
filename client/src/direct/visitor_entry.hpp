// The visitor's local entry: a listener on 127.0.0.1 whose connections go
// straight to the owner address the search found while direct connections are on,
// and to the gateway's front door otherwise.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "direct/candidate_search.hpp"
#include "direct/direct_setup.hpp"
#include "proto/result.hpp"
#include "proto/shared_writer.hpp"
#include "settings/shared_state.hpp"

namespace quillmar {

inline constexpr std::string_view NO_ENTRY_PORT = "没给 --on，且无法从候选推出端口";

// Task body, spawned by the session after a successful search; nobody waits for it
// and nothing stops it: it ends (normally) when an accept fails, or at once with the
// error when the entry port is 0 or cannot be bound, which only the TUNNEL_DEBUG line
// reports (returned for the tests). It decides the local connections one at a time;
// each direct relay, each result report and each front-door connection then runs as
// a task of its own, on a strand of the pool.
asio::awaitable<Status> run_direct_entry(std::string gateway, std::string front_door_name,
                                         ReachableCandidate owner, SharedWriterPtr writer,
                                         SharedStatePtr shared, std::uint16_t entry_port,
                                         asio::any_io_executor pool, DirectTimings timings);

// Task body, one per direct relay: "result|{path word}|0".
asio::awaitable<void> send_visitor_result(std::string payload, SharedWriterPtr writer);

// Task body, one per direct relay: relays until both directions end, or until
// punch_generation moves away from the value read when it started, which cuts it off
// (both connections closed) with a line.
asio::awaitable<void> run_visitor_direct_session(asio::ip::tcp::socket local,
                                                 asio::ip::tcp::socket owner, SharedStatePtr shared,
                                                 std::uint64_t generation,
                                                 std::chrono::milliseconds watch_interval);

}  // namespace quillmar
