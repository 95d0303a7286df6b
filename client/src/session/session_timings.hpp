// The session's and supervisor's time limits and delays. Production uses the defaults;
// tests inject scaled-down values, never through a user-visible option.
#pragma once

#include <chrono>

#include "direct/direct_setup.hpp"

namespace quillmar {

using namespace std::chrono_literals;

struct SessionTimings {
  std::chrono::milliseconds gateway_connect_timeout = 10s;
  std::chrono::milliseconds tls_handshake_timeout = 4s;
  std::chrono::milliseconds heartbeat_interval = 25s;
  std::chrono::milliseconds local_connect_timeout = 8s;
  DirectSetup direct;  // the direct connections' limits, and the addresses they use
};

struct SupervisorTimings {
  std::chrono::nanoseconds initial_backoff = 1s;
  std::chrono::nanoseconds backoff_doubling_limit = 30s;
  std::chrono::nanoseconds initial_quota_backoff = 60s;
  std::chrono::nanoseconds quota_doubling_limit = 3600s;
  std::chrono::nanoseconds name_taken_delay = 30s;
  std::chrono::nanoseconds short_retry_delay = 150ms;
};

}  // namespace quillmar
