// A real child process for end-to-end tests: started with its own arguments,
// environment changes and working folder; its standard output and standard error are
// collected by two reader threads while it runs, so a test can wait for a line to
// appear, wait for the exit code, or stop it.
//
//   ChildProcess client({quillmar_program(), {"--ui", "7790"}, {{"TUNNEL_NO_BROWSER", ""}}});
//   ASSERT_TRUE(client.wait_for_out("已就绪", 5s)) << client.describe();
//   client.interrupt();
//   EXPECT_EQ(client.wait_exit(5s), 0);
//
// Linux: posix_spawn with pipes; the child leads a process group of its own, which is
// killed as a whole when the object goes away. Windows (also under Wine): CreateProcessW
// with pipes. The programs under test have no console there, so interrupt() cannot
// deliver a Ctrl-C: it terminates the process instead, and the Ctrl-C path is tested on
// Linux only.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmar::test {

struct ChildOptions {
  std::filesystem::path program;
  std::vector<std::string> args;                             // UTF-8, without the program name
  std::vector<std::pair<std::string, std::string>> set_env;  // added or replaced
  std::vector<std::string> unset_env;                        // removed
  std::filesystem::path working_dir;                         // empty: the test's own
};

class ChildProcess {
 public:
  // Starts the program; throws std::runtime_error when it cannot be started.
  explicit ChildProcess(ChildOptions options);
  ~ChildProcess();  // kills the child if it still runs, then collects it
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Everything read so far.
  std::string out() const;
  std::string err() const;

  // True as soon as the text is part of what the stream has produced, false when the
  // limit passes or the stream ends without it.
  bool wait_for_out(std::string_view text, std::chrono::milliseconds limit) const;
  bool wait_for_err(std::string_view text, std::chrono::milliseconds limit) const;

  // The exit code once the child has ended within the limit (a child ended by a signal
  // gives 128 + the signal number), nullopt otherwise. After the exit it also waits,
  // within the same limit, until both streams have been read to their end.
  std::optional<int> wait_exit(std::chrono::milliseconds limit);
  bool running();

  // Linux: SIGINT (what Ctrl-C sends). Windows: TerminateProcess with exit code 130.
  void interrupt();
  // Linux: SIGTERM. Windows: TerminateProcess with exit code 143.
  void terminate();
  // Linux: SIGKILL to the child's process group. Windows: TerminateProcess with exit
  // code 137.
  void kill();
  // The operating system's process id.
  std::uint64_t id() const;

  // The operating system's id of the child process.
  std::uint32_t process_id() const;

  // The command line and both outputs, for failure messages.
  std::string describe() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A program built in this build tree, given its path below QUILLMAR_BINARY_DIR without
// the ".exe" that Windows adds.
std::filesystem::path built_program(std::string_view relative);
std::filesystem::path quillmar_program();  // client/quillmar, client/Quillmar.exe
std::filesystem::path devgw_program();     // tools/devgw/quillmar-devgw[.exe]

}  // namespace quillmar::test
