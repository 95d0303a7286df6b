// The child-process helper itself, with a shell as the child: arguments, environment
// changes, working folder, both outputs, exit codes and signals. (On Windows the same
// helper is exercised by the client tests; no shell is assumed there.)
#include <gtest/gtest.h>

#include "e2e_support.hpp"

namespace quillmar::test {
namespace {

#ifndef _WIN32

ChildOptions shell(std::string script) {
  ChildOptions options;
  options.program = "/bin/sh";
  options.args = {"-c", std::move(script), "sh", "two words"};
  return options;
}

TEST(ChildProcessHelper, PassesArgumentsEnvironmentAndFolderAndCollectsBothOutputs) {
  TempDir dir;
  ChildOptions options = shell(
      "echo \"arg=$1\"; echo \"set=$E2E_SET unset=${HOME-gone}\"; pwd; echo oops >&2; exit 3");
  options.set_env = {{"E2E_SET", "value with = sign"}};
  options.unset_env = {"HOME"};
  options.working_dir = dir.path();
  ChildProcess child(options);
  auto code = child.wait_exit(WAIT);
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 3);
  EXPECT_EQ(child.out(), "arg=two words\nset=value with = sign unset=gone\n" +
                             std::filesystem::canonical(dir.path()).string() + "\n");
  EXPECT_EQ(child.err(), "oops\n");
}

TEST(ChildProcessHelper, WaitsForTextAndGivesUpAtTheLimit) {
  ChildProcess child(shell("echo first; sleep 0.2; echo second >&2; exec sleep 30"));
  EXPECT_TRUE(child.wait_for_err("second", WAIT));
  EXPECT_TRUE(child.out() == "first\n");
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(child.wait_for_out("never", 200ms));
  EXPECT_FALSE(child.wait_exit(100ms).has_value());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(child.running());
}

TEST(ChildProcessHelper, SignalsEndTheChild) {
  struct Case {
    void (ChildProcess::*send)();
    int code;
  };
  for (Case c : {Case{&ChildProcess::interrupt, 128 + SIGINT},
                 Case{&ChildProcess::terminate, 128 + SIGTERM}}) {
    ChildProcess child(shell("echo up; exec sleep 30"));
    ASSERT_TRUE(child.wait_for_out("up", WAIT));
    (child.*c.send)();
    EXPECT_EQ(child.wait_exit(WAIT), c.code);
  }
}

TEST(ChildProcessHelper, ChildDoesNotKeepTheTestsSockets) {
  // A listener the test closes must stop accepting even while a child runs.
  asio::io_context io;
  auto listener =
      std::make_unique<tcp::acceptor>(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  auto port = listener->local_endpoint().port();
  ChildProcess child(shell("echo up; exec sleep 30"));
  ASSERT_TRUE(child.wait_for_out("up", WAIT));
  listener.reset();
  tcp::socket socket(io);
  std::error_code ec;
  socket.connect({asio::ip::address_v4::loopback(), port}, ec);
  EXPECT_EQ(ec, asio::error::connection_refused);
}

TEST(ChildProcessHelper, MissingProgramThrows) {
  ChildOptions options;
  options.program = "/no/such/program";
  EXPECT_THROW(ChildProcess child(options), std::runtime_error);
}

#endif

TEST(ChildProcessHelper, FindsTheBuiltPrograms) {
  EXPECT_TRUE(std::filesystem::exists(quillmar_program())) << quillmar_program();
  EXPECT_TRUE(std::filesystem::exists(devgw_program())) << devgw_program();
}

}  // namespace
}  // namespace quillmar::test
