#include "app/options.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "app/command_line.hpp"
#include "app/environment.hpp"
#include "async_test.hpp"
#include "proto/text.hpp"
#include "proto/tls_config.hpp"
#include "settings/file_io.hpp"

namespace quillmar {
namespace {

using test::TempDir;

// Every argument list starts with the program's own name, as the splitter gives it.
Args with_program(std::vector<std::string> rest) {
  Args args{"Quillmar.exe"};
  args.insert(args.end(), rest.begin(), rest.end());
  return args;
}

ClientOptions read_ok(const Args& args) {
  auto read = read_options(args);
  EXPECT_TRUE(read.ok()) << (read.ok() ? "" : read.error().structured());
  return read.ok() ? std::move(read).value() : ClientOptions{};
}

struct PortCase {
  const char* text;
  std::optional<std::uint16_t> expected;
};

TEST(ParsePortNumber, FollowsTheNumberRule) {
  const PortCase cases[] = {
      {"80", 80},
      {"0", 0},
      {"65535", 65535},
      {"+8080", 8080},
      {"0080", 80},
      {"+0", 0},
      {"000000000000000080", 80},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"-5", std::nullopt},
      {"65536", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {" 80", std::nullopt},
      {"80 ", std::nullopt},
      {"8a", std::nullopt},
      {"++80", std::nullopt},
      {"0x50", std::nullopt},
      {"８０", std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(parse_port_number(c.text), c.expected) << '"' << c.text << '"';
}

struct ConsolePortCase {
  const char* name;
  std::vector<std::string> args;
  std::uint16_t expected;
};

TEST(ConsolePortOption, FallsBackTo7788) {
  const ConsolePortCase cases[] = {
      {"absent", {}, 7788},
      {"no value", {"--ui"}, 7788},
      {"letters", {"--ui", "abc"}, 7788},
      {"negative", {"--ui", "-5"}, 7788},
      {"too large", {"--ui", "65536"}, 7788},
      {"leading blank", {"--ui", " 80"}, 7788},
      {"plus sign", {"--ui", "+8080"}, 8080},
      {"leading zeros", {"--ui", "0080"}, 80},
      {"name=value is no option", {"--ui=8080"}, 7788},
      {"the first occurrence counts", {"--ui", "8081", "--ui", "9000"}, 8081},
      {"a failing first value is not retried", {"--ui", "x", "--ui", "9000"}, 7788},
      {"case-sensitive", {"--UI", "8080"}, 7788},
  };
  for (const auto& c : cases)
    EXPECT_EQ(console_port_option(with_program(c.args)), c.expected) << c.name;
}

TEST(OptionValue, TakesTheNextElementWhateverItHolds) {
  Args args = with_program({"--gw", "--sub", "x", "--domain", "", "--tls"});
  EXPECT_EQ(option_value(args, "--gw"), "--sub");
  EXPECT_EQ(option_value(args, "--sub"), "x");
  EXPECT_EQ(option_value(args, "--domain"), "");
  EXPECT_EQ(option_value(args, "--tls"), std::nullopt);  // last element
  EXPECT_EQ(option_value(args, "--invite"), std::nullopt);
  EXPECT_EQ(option_value(args, "--GW"), std::nullopt);
  EXPECT_EQ(option_value(args, "--g"), std::nullopt);
}

TEST(HasOption, MatchesWholeElementsOnly) {
  Args args = with_program({"--force", "--auto-renamed", "x--product-mode"});
  EXPECT_TRUE(has_option(args, "--force"));
  EXPECT_FALSE(has_option(args, "--auto-rename"));
  EXPECT_FALSE(has_option(args, "--product-mode"));
  EXPECT_FALSE(has_option(args, "--Force"));
}

struct ValuesCase {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::string> expected;
};

TEST(OptionValues, CollectsEveryOccurrence) {
  const ValuesCase cases[] = {
      {"in order", {"--http", "80", "--ui", "1", "--http", "81"}, {"80", "81"}},
      {"a following option is no value", {"--http", "--http", "80"}, {"80"}},
      {"a following --x is no value", {"--http", "--x", "--http", "81"}, {"81"}},
      {"a single dash is a value", {"--http", "-"}, {"-"}},
      {"the empty text is a value", {"--http", ""}, {""}},
      {"last argument gives nothing", {"--http", "80", "--http"}, {"80"}},
      {"none", {"--ui", "80"}, {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(option_values(with_program(c.args), "--http"), c.expected) << c.name;
}

TEST(ReadOptions, DefaultsWithoutOptions) {
  testing::internal::CaptureStderr();
  ClientOptions options = read_ok(with_program({}));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(options.gateway, DEFAULT_GATEWAY);
  EXPECT_EQ(options.domain, DEFAULT_DOMAIN);
  EXPECT_EQ(options.sub, std::nullopt);
  EXPECT_FALSE(options.auto_rename);
  EXPECT_TRUE(options.http_ports.empty());
  EXPECT_EQ(options.tls_mode, TlsMode::TLS_AUTO);
  EXPECT_EQ(options.invite, std::nullopt);
  EXPECT_EQ(options.front_door_tls, nullptr);
  EXPECT_EQ(options.entry_port, 0);
}

TEST(ReadOptions, TakesTheSingleValues) {
  ClientOptions options = read_ok(with_program(
      {"--gw", "127.0.0.1:9443", "--domain", "tunnel.test", "--sub", "My PC", "--auto-rename",
       "--on", "9000", "--product-mode", "--visit", "office", "--ignored", "value"}));
  EXPECT_EQ(options.gateway, "127.0.0.1:9443");
  EXPECT_EQ(options.domain, "tunnel.test");
  EXPECT_EQ(options.sub, "my-pc");
  EXPECT_TRUE(options.auto_rename);
  EXPECT_EQ(options.entry_port, 9000);
}

TEST(ReadOptions, GatewayValueMayLookLikeAnOption) {
  ClientOptions options = read_ok(with_program({"--gw", "--sub", "x"}));
  EXPECT_EQ(options.gateway, "--sub");
  EXPECT_EQ(options.sub, "x");
}

TEST(ReadOptions, HttpPortsKeepOrderRepeatsAndZero) {
  struct HttpCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::uint16_t> expected;
  };
  const HttpCase http_cases[] = {
      {"failing value skipped, repeat and 0 kept",
       {"--http", "80", "--http", "abc", "--http", "80", "--http", "0", "--http", "8080"},
       {80, 80, 0, 8080}},
      {"a value that is the option itself is skipped", {"--http", "--http", "80"}, {80}},
      {"a single dash fails the number rule", {"--http", "-"}, {}},
      {"last argument adds nothing", {"--http", "81", "--http"}, {81}},
      {"plus sign and leading zeros", {"--http", "+0080"}, {80}},
  };
  for (const auto& c : http_cases)
    EXPECT_EQ(read_ok(with_program(c.args)).http_ports, c.expected) << c.name;
}

TEST(ReadOptions, EntryPortFallsBackToZero) {
  EXPECT_EQ(read_ok(with_program({"--on", "x"})).entry_port, 0);
  EXPECT_EQ(read_ok(with_program({"--on"})).entry_port, 0);
  EXPECT_EQ(read_ok(with_program({"--on", "65535"})).entry_port, 65535);
}

TEST(ReadOptions, InviteIsTrimmedAndEmptyMeansNone) {
  EXPECT_EQ(read_ok(with_program({"--invite", "   "})).invite, std::nullopt);
  EXPECT_EQ(read_ok(with_program({"--invite", ""})).invite, std::nullopt);
  EXPECT_EQ(read_ok(with_program({"--invite", " \tABC-123\u3000 "})).invite, "ABC-123");
  EXPECT_EQ(read_ok(with_program({"--invite", "a b"})).invite, "a b");
}

struct TlsCase {
  const char* name;
  std::vector<std::string> args;
  std::optional<TlsMode> mode;    // none: an error
  const char* message = nullptr;  // of the error
};

TEST(ReadOptions, TlsModeIsComparedExactly) {
  const TlsCase cases[] = {
      {"absent", {}, TlsMode::TLS_AUTO},
      {"off", {"--tls", "off"}, TlsMode::TLS_OFF},
      {"auto", {"--tls", "auto"}, TlsMode::TLS_AUTO},
      {"required", {"--tls", "required"}, TlsMode::TLS_REQUIRED},
      {"the first occurrence counts", {"--tls", "required", "--tls", "off"}, TlsMode::TLS_REQUIRED},
      {"no value counts as absent", {"--tls"}, TlsMode::TLS_AUTO},
      {"upper case",
       {"--tls", "AUTO"},
       std::nullopt,
       "--tls 只收 off / auto / required，收到 \"AUTO\""},
      {"empty", {"--tls", ""}, std::nullopt, "--tls 只收 off / auto / required，收到 \"\""},
      {"leading blank",
       {"--tls", " auto"},
       std::nullopt,
       "--tls 只收 off / auto / required，收到 \" auto\""},
      {"quote, backslash and line break are escaped",
       {"--tls", "a\"b\\c\nd\te"},
       std::nullopt,
       "--tls 只收 off / auto / required，收到 \"a\\\"b\\\\c\\nd\\te\""},
  };
  for (const auto& c : cases) {
    auto read = read_options(with_program(c.args));
    if (c.mode) {
      ASSERT_TRUE(read.ok()) << c.name;
      EXPECT_EQ(read.value().tls_mode, *c.mode) << c.name;
    } else {
      ASSERT_FALSE(read.ok()) << c.name;
      EXPECT_EQ(read.error().kind, ErrorKind::InvalidInput) << c.name;
      EXPECT_EQ(read.error().message, c.message) << c.name;
      EXPECT_EQ(read.error().os_code, std::nullopt) << c.name;
    }
  }
}

constexpr const char* PUNCH_WARNING_HEAD = "client: 「允许谁直连」里有 ";

TEST(ReadOptions, PunchNamesAreCheckedAndReported) {
  struct PunchCase {
    const char* name;
    std::vector<std::string> args;
    std::string warning;
  };
  const PunchCase cases[] = {
      {"valid names print nothing", {"--punch", "nas,office", "--punch", "laptop"}, ""},
      {"one refused item",
       {"--punch", "nas,Bad Name;office"},
       "client: 「允许谁直连」里有 1 条不是合法设备名（只许小写字母、数字、-、_），已忽略：Bad "
       "Name\n"},
      {"refused items of several occurrences, joined",
       {"--punch", "a b", "--punch", "ok,c!d"},
       "client: 「允许谁直连」里有 2 条不是合法设备名（只许小写字母、数字、-、_），已忽略：a "
       "b、c!d\n"},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    auto read = read_options(with_program(c.args));
    std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(read.ok()) << c.name;
    EXPECT_EQ(printed, c.warning) << c.name;
  }
}

TEST(ReadOptions, PunchWarningComesBeforeATlsError) {
  testing::internal::CaptureStderr();
  auto read = read_options(with_program({"--tls", "bad", "--punch", "Bad Name"}));
  std::string printed = testing::internal::GetCapturedStderr();
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().kind, ErrorKind::InvalidInput);
  EXPECT_TRUE(printed.starts_with(PUNCH_WARNING_HEAD)) << printed;
}

std::string front_ca_message(const std::string& path, const IoError& cause) {
  return "--front-ca " + quoted_form(path) + " 读不了: " + cause.display();
}

TEST(ReadOptions, FrontCaFileThatCannotBeRead) {
  TempDir dir;
  auto missing = dir.path() / "missing.pem";
  auto not_utf8 = dir.path() / "latin1.pem";
  test::write_file(not_utf8, "-----BEGIN CERTIFICATE-----\n\xE9\xFF\n");
  struct Case {
    const char* name;
    std::string path;
  };
  const Case cases[] = {
      {"no such file", path_to_utf8(missing)},
      {"a folder", path_to_utf8(dir.path())},
      {"not UTF-8", path_to_utf8(not_utf8)},
      {"empty path", ""},
  };
  for (const auto& c : cases) {
    auto read = read_options(with_program({"--front-ca", c.path}));
    ASSERT_FALSE(read.ok()) << c.name;
    EXPECT_EQ(read.error().kind, ErrorKind::Other) << c.name;
    auto cause = read_text_file(path_from_utf8(c.path));
    ASSERT_FALSE(cause.ok()) << c.name;
    EXPECT_EQ(read.error().message, front_ca_message(c.path, cause.error())) << c.name;
  }
  auto read = read_options(with_program({"--front-ca", path_to_utf8(not_utf8)}));
  ASSERT_FALSE(read.ok());
  EXPECT_TRUE(read.error().message.ends_with(" 读不了: stream did not contain valid UTF-8"))
      << read.error().message;
}

TEST(ReadOptions, FrontCaPathIsQuotedWithBackslashesDoubled) {
  auto read = read_options(with_program({"--front-ca", "C:\\nowhere\\ca \"x\".pem"}));
  ASSERT_FALSE(read.ok());
  EXPECT_TRUE(
      read.error().message.starts_with("--front-ca \"C:\\\\nowhere\\\\ca \\\"x\\\".pem\" 读不了: "))
      << read.error().message;
}

TEST(ReadOptions, FrontCaWithoutCertificateFailsAsTheConfigurationSays) {
  TempDir dir;
  auto empty = dir.path() / "empty.pem";
  test::write_file(empty, "no certificate here\n");
  auto read = read_options(with_program({"--front-ca", path_to_utf8(empty)}));
  ASSERT_FALSE(read.ok());
  auto expected = front_door_tls_config(std::string_view("no certificate here\n"));
  ASSERT_FALSE(expected.ok());
  EXPECT_EQ(read.error().kind, expected.error().kind);
  EXPECT_EQ(read.error().message, expected.error().message);
}

TEST(ReadOptions, FrontCaWithACertificateBuildsTheConfiguration) {
  auto pem = std::filesystem::path(QUILLMAR_TEST_DATA_DIR) / "options-front-ca.pem";
  ClientOptions options = read_ok(with_program({"--front-ca", path_to_utf8(pem)}));
  ASSERT_NE(options.front_door_tls, nullptr);
  EXPECT_TRUE(options.front_door_tls->verifies());
}

TEST(ReadOptions, BadTlsIsReportedBeforeTheFrontCaIsRead) {
  auto read = read_options(with_program({"--front-ca", "/nowhere/ca.pem", "--tls", "x"}));
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().kind, ErrorKind::InvalidInput);
  EXPECT_TRUE(read.error().message.starts_with("--tls ")) << read.error().message;
}

using MaybeText = std::optional<std::string>;
const MaybeText NO_TEXT = std::nullopt;

// Whole command lines as Windows hands them over, split by its rules and then read by
// the same functions as on Linux.
struct CommandLineCase {
  const char* name;
  const char* line;
  // What to expect; only the fields that are set are compared.
  std::optional<MaybeText> install_folder = std::nullopt;  // the value of --install
  std::optional<bool> force = std::nullopt;
  std::optional<bool> version = std::nullopt;
  std::optional<std::uint16_t> console_port = std::nullopt;
  std::optional<std::string> gateway = std::nullopt;
  std::optional<std::string> sub = std::nullopt;
  std::optional<std::vector<std::uint16_t>> http_ports = std::nullopt;
  std::optional<TlsMode> tls_mode = std::nullopt;
  std::optional<MaybeText> invite = std::nullopt;
  std::optional<std::string> error = std::nullopt;  // the message of read_options' error
  std::optional<std::string> error_start = std::nullopt;
  std::optional<std::string> printed = std::nullopt;  // standard error of read_options
};

const CommandLineCase COMMAND_LINE_CASES[] = {
    {.name = "quoted folder with a trailing backslash, then --force",
     .line = R"(Q.exe --install "C:\Program Files\Quillmar\\" --force)",
     .install_folder = R"(C:\Program Files\Quillmar\)",
     .force = true},
    {.name = "unquoted folder keeps its backslashes",
     .line = R"(Q.exe --install C:\Users\me\bin\)",
     .install_folder = R"(C:\Users\me\bin\)",
     .force = false},
    {.name = "--force right after --install is the folder",
     .line = "Q.exe --install --force",
     .install_folder = "--force",
     .force = true},
    {.name = "--install as the last argument counts as absent",
     .line = "Q.exe --version --install",
     .install_folder = NO_TEXT,
     .version = true},
    {.name = "--version and --install with a folder: both are found",
     .line = R"(Q.exe --version --install "D:\apps")",
     .install_folder = R"(D:\apps)",
     .version = true},
    {.name = "name=value is no option", .line = "Q.exe --ui=8080", .console_port = 7788},
    {.name = "quoted port with a leading blank",
     .line = R"(Q.exe --ui " 80")",
     .console_port = 7788},
    {.name = "plus sign", .line = "Q.exe --ui +8080", .console_port = 8080},
    {.name = "leading zeros", .line = "Q.exe --ui 0080", .console_port = 80},
    {.name = "gateway value that looks like an option",
     .line = "Q.exe --gw --sub x",
     .gateway = "--sub",
     .sub = "x"},
    {.name = "quoted device name", .line = R"(Q.exe --sub "My PC")", .sub = "my-pc"},
    {.name = "repeated --http with a failing value, a repeat and 0",
     .line = "Q.exe --http 80 --http abc --http \"80\" --http 0 --http 8080",
     .http_ports = std::vector<std::uint16_t>{80, 80, 0, 8080}},
    {.name = "--http followed by --http",
     .line = "Q.exe --http --http 80",
     .http_ports = std::vector<std::uint16_t>{80}},
    {.name = "--http as the last argument",
     .line = "Q.exe --http",
     .http_ports = std::vector<std::uint16_t>{}},
    {.name = "only the first --tls counts",
     .line = "Q.exe --tls required --tls off",
     .tls_mode = TlsMode::TLS_REQUIRED},
    {.name = "empty quoted --tls",
     .line = R"(Q.exe --tls "")",
     .error = "--tls 只收 off / auto / required，收到 \"\""},
    {.name = "--tls in capitals",
     .line = "Q.exe --tls AUTO",
     .error = "--tls 只收 off / auto / required，收到 \"AUTO\""},
    {.name = "escaped quote inside a --tls value",
     .line = R"(Q.exe --tls a\"b)",
     .error = R"(--tls 只收 off / auto / required，收到 "a\"b")"},
    {.name = "blanks around an invite code",
     .line = R"(Q.exe --invite "  CODE-1  ")",
     .invite = "CODE-1"},
    {.name = "an invite of blanks is none", .line = R"(Q.exe --invite "   ")", .invite = NO_TEXT},
    {.name = "a Windows path in the --front-ca error gets its backslashes doubled",
     .line = R"(Q.exe --front-ca "C:\no where\ca.pem")",
     .error_start = R"(--front-ca "C:\\no where\\ca.pem" 读不了: )"},
    {.name = "a --punch item with a blank inside",
     .line = R"(Q.exe --punch "nas,Bad Name;office")",
     .printed =
         "client: 「允许谁直连」里有 1 条不是合法设备名（只许小写字母、数字、-、_），已忽略：Bad "
         "Name\n"},
};

class CommandLineOptions : public testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLineOptions, ReadAsSpecified) {
  const CommandLineCase& c = GetParam();
  Args args = split_command_line(c.line);
  ASSERT_EQ(args.front(), "Q.exe");
  if (c.install_folder) {
    EXPECT_EQ(option_value(args, "--install"), *c.install_folder);
  }
  if (c.force) {
    EXPECT_EQ(has_option(args, "--force"), *c.force);
  }
  if (c.version) {
    EXPECT_EQ(has_option(args, "--version"), *c.version);
  }
  if (c.console_port) {
    EXPECT_EQ(console_port_option(args), *c.console_port);
  }

  testing::internal::CaptureStderr();
  auto read = read_options(args);
  std::string printed = testing::internal::GetCapturedStderr();
  if (c.printed) {
    EXPECT_EQ(printed, *c.printed);
  }
  if (c.error || c.error_start) {
    ASSERT_FALSE(read.ok());
    if (c.error) {
      EXPECT_EQ(read.error().message, *c.error);
    }
    if (c.error_start) {
      EXPECT_TRUE(read.error().message.starts_with(*c.error_start)) << read.error().message;
    }
    return;
  }
  ASSERT_TRUE(read.ok()) << read.error().structured();
  const ClientOptions& options = read.value();
  if (c.gateway) {
    EXPECT_EQ(options.gateway, *c.gateway);
  }
  if (c.sub) {
    EXPECT_EQ(options.sub, *c.sub);
  }
  if (c.http_ports) {
    EXPECT_EQ(options.http_ports, *c.http_ports);
  }
  if (c.tls_mode) {
    EXPECT_EQ(options.tls_mode, *c.tls_mode);
  }
  if (c.invite) {
    EXPECT_EQ(options.invite, *c.invite);
  }
}

INSTANTIATE_TEST_SUITE_P(Windows, CommandLineOptions, testing::ValuesIn(COMMAND_LINE_CASES),
                         [](const auto& info) { return std::to_string(info.index); });

#ifndef _WIN32
// A pipe or a device named by --front-ca would make the read wait for ever or never
// end; it is refused like any other file that cannot be read.
TEST(ReadOptions, FrontCaThatIsNoPlainFileIsRefusedAtOnce) {
  TempDir dir;
  auto pipe = dir.path() / "ca.pem";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  for (std::string path : {path_to_utf8(pipe), std::string("/dev/zero")}) {
    auto read = read_options(with_program({"--front-ca", path}));
    ASSERT_FALSE(read.ok()) << path;
    EXPECT_EQ(read.error().kind, ErrorKind::Other) << path;
    EXPECT_TRUE(read.error().message.starts_with("--front-ca " + quoted_form(path) + " 读不了: "))
        << read.error().message;
  }
}
#endif

}  // namespace
}  // namespace quillmar
