// The client program with its delays divided by a factor, for the chaos tests: the
// same start-up, supervisor, sessions and streams as the real program, only the waits
// between sessions and between heartbeats are shorter (a heartbeat's failed write is
// what releases a dead session's connection). Its time limits stay as they are. Built
// with the tests, never shipped.
//
//   quillmar-scaled-delays FACTOR [client arguments...]
#include <cstdio>
#include <string>

#include "app/command_line.hpp"
#include "app/run_client.hpp"
#include "proto/text.hpp"

int main(int argc, char** argv) {
  auto args = quillmar::args_from_argv(argc, argv);
  auto factor = args.size() >= 2 ? quillmar::parse_decimal(args[1], 1000000) : std::nullopt;
  if (!factor || *factor == 0) {
    std::fputs("usage: quillmar-scaled-delays FACTOR [client arguments...]\n", stderr);
    return 2;
  }
  args.erase(args.begin() + 1);
  const auto divisor = static_cast<long>(*factor);
  quillmar::StartupSeams seams;
  seams.supervisor = [divisor](quillmar::SupervisorEnvironment& environment) {
    auto& delays = environment.timings;
    delays.initial_backoff /= divisor;
    delays.backoff_doubling_limit /= divisor;
    delays.initial_quota_backoff /= divisor;
    delays.quota_doubling_limit /= divisor;
    delays.name_taken_delay /= divisor;
    delays.short_retry_delay /= divisor;
    environment.session_timings.heartbeat_interval /= divisor;
  };
  return quillmar::run_client(args, seams);
}
