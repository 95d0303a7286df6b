#include "settings/key_file.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/environment.hpp"
#include "async_test.hpp"
#include "settings/key_file_writers.hpp"
#include "settings/validators.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#endif

namespace quillmar {
namespace {

using test::read_file;
using test::TempDir;
using test::write_file;

const std::string HEADER = std::string(KEY_FILE_HEADER) + "\n";
const std::string TOKEN = "0123456789abcdef0123456789abcdef";

std::string unusable_message(const std::filesystem::path& path) {
  return "client: " + path_to_utf8(path) +
         " 里的凭据不可用，重新生成（域名归属会退回\"先到先得\"）\n";
}

struct Loaded {
  Creds creds;
  std::string printed;  // standard error during the load
};

Loaded load_capturing(const std::filesystem::path& path) {
  testing::internal::CaptureStderr();
  Creds creds = load_creds(path);
  return {std::move(creds), testing::internal::GetCapturedStderr()};
}

std::filesystem::path backup_of(const std::filesystem::path& path) {
  auto backup = path;
  backup += ".bak";
  return backup;
}

TEST(LoadCreds, MissingFileGetsAFreshIdentitySilently) {
  TempDir dir;
  auto path = dir.path() / "a" / "b" / "id.ini";
  auto loaded = load_capturing(path);
  EXPECT_EQ(loaded.printed, "");
  EXPECT_EQ(loaded.creds.key_path, path);
  EXPECT_EQ(loaded.creds.token.size(), 32u);
  EXPECT_TRUE(is_valid_token(loaded.creds.token));
  EXPECT_EQ(loaded.creds.sub, std::nullopt);
  EXPECT_TRUE(loaded.creds.punch.empty());
  EXPECT_EQ(loaded.creds.visit, "");
  EXPECT_EQ(loaded.creds.invite, "");
  EXPECT_EQ(loaded.creds.gw_pin, "");
  EXPECT_FALSE(loaded.creds.has_punch_line);
  EXPECT_FALSE(loaded.creds.has_visit_line);
  EXPECT_EQ(read_file(path), HEADER + "token=" + loaded.creds.token + "\nsub=\n");
  EXPECT_FALSE(std::filesystem::exists(backup_of(path)));

  // The saved identity is the one the next load finds.
  auto again = load_capturing(path);
  EXPECT_EQ(again.creds.token, loaded.creds.token);
  EXPECT_EQ(again.printed, "");
}

TEST(LoadCreds, EmptyFileGetsAFreshTokenWithTheMessage) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  write_file(path, "");
  auto loaded = load_capturing(path);
  EXPECT_EQ(loaded.printed, unusable_message(path));
  EXPECT_TRUE(is_valid_token(loaded.creds.token));
  EXPECT_EQ(read_file(path), HEADER + "token=" + loaded.creds.token + "\nsub=\n");
  EXPECT_FALSE(std::filesystem::exists(backup_of(path)));  // nothing worth keeping
}

struct TokenCase {
  const char* name;
  std::string content;
  std::optional<std::string> expected;  // none: a fresh token and the message
};

TEST(LoadCreds, TokenRules) {
  const TokenCase cases[] = {
      {"16 upper-case digits are lower-cased", "token=0123456789ABCDEF\n", "0123456789abcdef"},
      {"64 digits", "token=" + std::string(64, 'a') + "\n", std::string(64, 'a')},
      {"15 digits", "token=0123456789abcde\n", std::nullopt},
      {"65 digits", "token=" + std::string(65, 'a') + "\n", std::nullopt},
      {"a g among them", "token=0123456789abcdeg\n", std::nullopt},
      {"the later line counts", "token=" + TOKEN + "\ntoken=fedcba9876543210\n",
       "fedcba9876543210"},
      {"the later line counts even when unusable", "token=" + TOKEN + "\ntoken=xyz\n",
       std::nullopt},
      {"keys are not case-folded", "TOKEN=" + TOKEN + "\n", std::nullopt},
      {"keys and values are trimmed", " token = " + TOKEN + " \n", TOKEN},
      {"CRLF line ends", "token=" + TOKEN + "\r\nsub=x\r\n", TOKEN},
      {"no final line break", "sub=x\ntoken=" + TOKEN, TOKEN},
      {"a byte-order mark left by an editor", "\xEF\xBB\xBFtoken=" + TOKEN + "\n", TOKEN},
      {"inner blank", "token=0123456789 abcdef\n", std::nullopt},
  };
  for (const auto& c : cases) {
    TempDir dir;
    auto path = dir.path() / "id.ini";
    write_file(path, c.content);
    auto loaded = load_capturing(path);
    if (c.expected) {
      EXPECT_EQ(loaded.creds.token, c.expected) << c.name;
      EXPECT_EQ(loaded.printed, "") << c.name;
      EXPECT_EQ(read_file(path), c.content)
          << c.name << ": a usable file is not rewritten by loading";
    } else {
      EXPECT_TRUE(is_valid_token(loaded.creds.token)) << c.name;
      EXPECT_EQ(loaded.creds.token.size(), 32u) << c.name;
      EXPECT_EQ(loaded.printed, unusable_message(path)) << c.name;
      EXPECT_NE(read_file(path).find("token=" + loaded.creds.token + "\n"), std::string::npos)
          << c.name;
    }
  }
}

TEST(LoadCreds, FreshTokenKeepsTheOtherSettings) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  write_file(path, "token=0123456789abcdeg\nsub=office\ninvite=CODE\nports=80\n");
  auto loaded = load_capturing(path);
  EXPECT_EQ(loaded.printed, unusable_message(path));
  EXPECT_EQ(loaded.creds.sub, "office");
  EXPECT_EQ(loaded.creds.invite, "CODE");
  EXPECT_EQ(read_file(path),
            HEADER + "token=" + loaded.creds.token + "\nsub=office\ninvite=CODE\nports=80\n");
  EXPECT_FALSE(std::filesystem::exists(backup_of(path)));  // a readable file is no backup case
}

TEST(LoadCreds, ReadsTheSettingLines) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  std::string gw_pin(64, 'e');
  write_file(path, "token=" + TOKEN + "\nsub= My PC \ngw_pin= " + gw_pin + " \ninvite= CODE-1 \n" +
                       "punch=nas, Office ;bad name,laptop\nvisit= Office \nnote\nports=80\n");
  auto loaded = load_capturing(path);
  EXPECT_EQ(loaded.printed, "");
  EXPECT_EQ(loaded.creds.sub, "my-pc");
  EXPECT_EQ(loaded.creds.gw_pin, gw_pin);
  EXPECT_EQ(loaded.creds.invite, "CODE-1");
  EXPECT_EQ(loaded.creds.punch, (std::vector<std::string>{"nas", "office", "laptop"}));
  EXPECT_EQ(loaded.creds.visit, "office");
  EXPECT_TRUE(loaded.creds.has_punch_line);
  EXPECT_TRUE(loaded.creds.has_visit_line);
}

TEST(LoadCreds, UnusableVisitIsEmptyButCounts) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  write_file(path, "token=" + TOKEN + "\nvisit=bad name\npunch=\n");
  auto loaded = load_capturing(path);
  EXPECT_EQ(loaded.creds.visit, "");
  EXPECT_TRUE(loaded.creds.has_visit_line);
  EXPECT_TRUE(loaded.creds.punch.empty());
  EXPECT_TRUE(loaded.creds.has_punch_line);
}

TEST(LoadCreds, EmptySubGivesARandomNameEveryLoad) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  write_file(path, "token=" + TOKEN + "\nsub=\n");
  std::vector<std::string> names;
  for (int i = 0; i < 4; ++i) {
    auto loaded = load_capturing(path);
    ASSERT_TRUE(loaded.creds.sub.has_value());
    EXPECT_TRUE(check_device_name(*loaded.creds.sub).has_value()) << *loaded.creds.sub;
    names.push_back(*loaded.creds.sub);
  }
  EXPECT_FALSE(names[0] == names[1] && names[1] == names[2] && names[2] == names[3]);
  EXPECT_EQ(read_file(path), "token=" + TOKEN + "\nsub=\n");  // never saved by loading
}

TEST(LoadCreds, InvalidUtf8IsReplacedAfterABackup) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  std::string old = "token=" + TOKEN + "\nsub=\xE9t\xE9\n";
  write_file(path, old);
  auto loaded = load_capturing(path);
  EXPECT_NE(loaded.creds.token, TOKEN);
  EXPECT_EQ(loaded.creds.sub, std::nullopt);
  EXPECT_EQ(read_file(backup_of(path)), old);
  EXPECT_EQ(read_file(path), HEADER + "token=" + loaded.creds.token + "\nsub=\n");
  EXPECT_EQ(loaded.printed, "");
  EXPECT_FALSE(std::filesystem::exists(backup_of(path) += ".tmp"));

  // A later damage replaces the older backup.
  std::string newer = "\xFF\xFE garbage";
  write_file(path, newer);
  (void)load_capturing(path);
  EXPECT_EQ(read_file(backup_of(path)), newer);
}

TEST(LoadCreds, KeyFileThatIsAFolderIsLeftAlone) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  std::filesystem::create_directories(path / "inside");
  auto loaded = load_capturing(path);
  EXPECT_TRUE(is_valid_token(loaded.creds.token));
  EXPECT_TRUE(std::filesystem::is_directory(path / "inside"));
  save_creds(loaded.creds);
  EXPECT_TRUE(std::filesystem::is_directory(path / "inside"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "id.ini.tmp"));
  EXPECT_FALSE(set_key_line(path, "ports", "80").ok());
  EXPECT_TRUE(std::filesystem::is_directory(path / "inside"));
}

// An existing key file that cannot be read may hold the only copy of the device's
// credential: it is neither replaced nor deleted. Every load and save looks at it again;
// the user is told once per run, and only what happened: no backup is tried of a file
// that cannot be read.
TEST(LoadCreds, ExistingFileThatCannotBeReadIsNeverReplaced) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
#ifdef _WIN32
  write_file(path, "token=" + TOKEN + "\n");
  // Another program holding the file without sharing it.
  HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const std::string reason =
      IoError::from(std::error_code(ERROR_SHARING_VIOLATION, std::system_category())).display();
#else
  // Something that is no plain file; reading it must not block either.
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  const std::string reason = "not a regular file";
#endif
  testing::internal::CaptureStderr();
  Creds loaded = load_creds(path);
  Creds changed = loaded;
  changed.sub = "other";
  save_creds(changed);
  (void)load_creds(path);
  const std::string printed = testing::internal::GetCapturedStderr();
#ifdef _WIN32
  CloseHandle(held);
  EXPECT_EQ(read_file(path), "token=" + TOKEN + "\n");
#else
  EXPECT_EQ(std::filesystem::status(path).type(), std::filesystem::file_type::fifo);
#endif
  EXPECT_TRUE(is_valid_token(loaded.token));
  EXPECT_EQ(printed,
            "client: " + path_to_utf8(path) + " 读不了（" + reason + "），所以没有覆盖它\n");
  EXPECT_FALSE(std::filesystem::exists(backup_of(path)));
}

TEST(LoadCreds, AFailedBackupIsReportedOnceWithItsReason) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  write_file(path, "token=" + TOKEN + "\nsub=caf\xE9\n");
  std::filesystem::create_directories(backup_of(path) / "blocker");  // no file can replace it
  testing::internal::CaptureStderr();
  Creds creds = load_creds(path);
  save_creds(creds);
  (void)load_creds(path);
  const std::string printed = testing::internal::GetCapturedStderr();
  const std::string start = "client: " + path_to_utf8(path) + " 不是 UTF-8 文本，先备份到 " +
                            path_to_utf8(backup_of(path)) + " 也没成（";
  EXPECT_TRUE(printed.starts_with(start)) << printed;
  EXPECT_TRUE(printed.ends_with("），所以没有覆盖它\n")) << printed;
  EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
}

TEST(SaveCreds, KeepsForeignLinesAndReplacesItsOwn) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  write_file(path,
             "# comment\r\ntoken=old\r\n  # x = y\r\nports=80,443\r\nnote\r\n\r\nsub=old\r\n"
             "gw_pin=old\r\n invite =old\r\npunch=nas\r\nvisit=\r\naccess=80=x\r\nother = 1\r\n");
  Creds creds;
  creds.key_path = path;
  creds.token = TOKEN;
  creds.sub = "office";
  creds.invite = "CODE";
  creds.punch = {"ignored"};  // the file's own punch line stays
  save_creds(creds);
  EXPECT_EQ(read_file(path),
            HEADER + "token=" + TOKEN + "\nsub=office\ninvite=CODE\n" +
                "ports=80,443\nnote\n\npunch=nas\nvisit=\naccess=80=x\nother = 1\n");
}

TEST(SaveCreds, WritesThePinOnlyWhenSet) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  Creds creds;
  creds.key_path = path;
  creds.token = TOKEN;
  creds.gw_pin = std::string(64, 'a');
  save_creds(creds);
  EXPECT_EQ(read_file(path), HEADER + "token=" + TOKEN + "\nsub=\ngw_pin=" + creds.gw_pin + "\n");
  creds.gw_pin.clear();
  save_creds(creds);
  EXPECT_EQ(read_file(path), HEADER + "token=" + TOKEN + "\nsub=\n");
}

TEST(SaveCreds, AfterTheFileWasDeletedWritesTheRecordsLists) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  Creds creds;
  creds.key_path = path;
  creds.token = TOKEN;
  creds.sub = "office";
  creds.punch = {"nas", "laptop"};
  creds.visit = "nas";
  save_creds(creds);
  EXPECT_EQ(read_file(path),
            HEADER + "token=" + TOKEN + "\nsub=office\npunch=nas,laptop\nvisit=nas\n");
}

TEST(SaveCreds, ALineBreakInAValueNeverStartsAnotherSetting) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  Creds creds;
  creds.key_path = path;
  creds.token = TOKEN;
  creds.invite = "CODE\ntoken=fedcba9876543210";
  save_creds(creds);
  EXPECT_EQ(read_file(path), HEADER + "token=" + TOKEN + "\nsub=\ninvite=CODE\n");
  EXPECT_EQ(load_creds(path).token, TOKEN);
}

TEST(SaveCreds, ReloadGivesTheSameRecord) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  Creds creds = load_creds(path);
  creds.sub = "office";
  creds.invite = "CODE";
  creds.gw_pin = std::string(64, 'b');
  save_creds(creds);
  Creds again = load_creds(path);
  EXPECT_EQ(again.token, creds.token);
  EXPECT_EQ(again.sub, creds.sub);
  EXPECT_EQ(again.invite, creds.invite);
  EXPECT_EQ(again.gw_pin, creds.gw_pin);
}

// A write that fails part-way (full disk, crash) must leave the old file whole.
TEST(SaveCreds, FailedWriteLeavesTheOldFileWhole) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  std::string old = HEADER + "token=" + TOKEN + "\nsub=office\nports=80\n";
  write_file(path, old);
  auto temp = dir.path() / "id.ini.tmp";
  std::filesystem::create_directories(temp / "blocker");  // the temporary file cannot be written

  Creds creds = load_creds(path);
  creds.sub = "renamed";
  save_creds(creds);
  EXPECT_EQ(read_file(path), old);
  EXPECT_FALSE(set_key_line(path, "ports", "81").ok());
  EXPECT_EQ(read_file(path), old);
  save_punch_settings(path, {"nas"}, "nas");
  EXPECT_EQ(read_file(path), old);

  std::filesystem::remove_all(temp);
  save_creds(creds);
  EXPECT_EQ(load_creds(path).sub, "renamed");
  EXPECT_FALSE(std::filesystem::exists(temp));
}

#ifndef _WIN32
// A write that the system refuses part-way (a full disk; here the file-size limit, its
// signal ignored so that the write fails instead of ending the process) leaves the old
// file whole and no temporary file behind.
TEST(SaveCreds, FullDiskLeavesTheOldFileWhole) {
  constexpr rlim_t WRITE_LIMIT = 100;
  TempDir dir;
  auto path = dir.path() / "id.ini";
  std::string old = HEADER + "token=" + TOKEN + "\nsub=office\n";
  write_file(path, old);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    rlimit limit{WRITE_LIMIT, WRITE_LIMIT};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::signal(SIGXFSZ, SIG_IGN);
    auto saved = set_key_line(path, "ports", "80");
    ::_exit(!saved.ok() && saved.error().os_code == EFBIG ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the failed write is reported with the system's code";
  EXPECT_EQ(read_file(path), old);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "id.ini.tmp"));
}
#endif

// Every writer of the process at once, each thread with settings of its own: no line
// may be lost, none may appear twice, and the credential stays.
TEST(KeyFile, ConcurrentWritersLoseNoLine) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  Creds first = load_creds(path);
  constexpr int THREADS = 8;
  constexpr int ROUNDS = 12;
  const std::string digest(64, 'd');
  std::vector<std::thread> writers;
  for (int t = 0; t < THREADS; ++t) {
    writers.emplace_back([&path, &digest, t] {
      for (int round = 0; round < ROUNDS; ++round) {
        auto value = std::to_string(round);
        EXPECT_TRUE(set_key_line(path, "key" + std::to_string(t), value).ok());
        switch (t) {
          case 0: {
            Creds creds = load_creds(path);
            creds.invite = "code" + value;
            save_creds(creds);
            break;
          }
          case 1:
            save_punch_settings(path, {"nas"}, "v" + value);
            break;
          case 2:
            save_ports(path, {80, static_cast<std::uint16_t>(1000 + round)});
            break;
          case 3:
            save_access(path, {{static_cast<std::uint16_t>(1000 + round), digest}});
            break;
          case 4:
            save_targets(path, {{80, "host" + value + ".lan"}});
            break;
          default:
            break;
        }
      }
    });
  }
  for (auto& writer : writers) writer.join();

  std::string text = read_file(path);
  auto count = [&text](const std::string& line) {
    std::size_t found = 0;
    for (auto at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++found;
    return found;
  };
  const std::string last = std::to_string(ROUNDS - 1);
  for (int t = 0; t < THREADS; ++t) {
    EXPECT_EQ(count("\nkey" + std::to_string(t) + "="), 1u) << text;
    EXPECT_EQ(count("\nkey" + std::to_string(t) + "=" + last + "\n"), 1u) << text;
  }
  EXPECT_EQ(count("\nports=80," + std::to_string(1000 + ROUNDS - 1) + "\n"), 1u) << text;
  EXPECT_EQ(count("\naccess=" + std::to_string(1000 + ROUNDS - 1) + "=" + digest + "\n"), 1u)
      << text;
  EXPECT_EQ(count("\ntargets=80@host" + last + ".lan\n"), 1u) << text;
  EXPECT_EQ(count("\ntoken="), 1u) << text;
  Creds final_creds = load_creds(path);
  EXPECT_EQ(final_creds.token, first.token);
  EXPECT_EQ(final_creds.invite, "code" + last);
  EXPECT_EQ(final_creds.visit, "v" + last);
  EXPECT_EQ(final_creds.punch, std::vector<std::string>{"nas"});
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "id.ini.tmp"));
}

TEST(UpdateCreds, AWriterThatComesMeanwhileWaitsAndKeepsItsChange) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  load_creds(path);
  std::future<void> pinning;
  Creds renamed = update_creds(path, [&](Creds& creds) {
    pinning = std::async(std::launch::async, [&path] {
      update_creds(path, [](Creds& other) {
        other.gw_pin = "pinned";
        return true;
      });
    });
    // Until this change is saved the other writer cannot even read the file.
    EXPECT_EQ(pinning.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    creds.sub = "renamed";
    return true;
  });
  pinning.get();
  EXPECT_EQ(renamed.sub, "renamed");
  Creds saved = load_creds(path);
  EXPECT_EQ(saved.sub, "renamed");
  EXPECT_EQ(saved.gw_pin, "pinned");
}

TEST(UpdateCreds, AChangeNotToBeSavedLeavesTheFileAsItWas) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  const std::string text = "token = " + TOKEN + "\nsub=nas\n";
  write_file(path, text);
  Creds seen = update_creds(path, [](Creds& creds) {
    creds.sub = "unsaved";
    return false;
  });
  EXPECT_EQ(seen.sub, "unsaved");
  EXPECT_EQ(read_file(path), text);
}

// A file as it may be found, loaded, normalised and written back by save_creds.
struct RoundTripCase {
  const char* name;
  std::string content;
  std::string saved;  // the file after save_creds of the loaded record, header excluded
  std::string token = TOKEN;
  std::optional<std::string> sub = std::nullopt;  // none: no sub line, or a random name
  std::string gw_pin = "";
  std::string invite = "";
  std::vector<std::string> punch = {};
  std::string visit = "";
  bool has_punch_line = false;
  bool has_visit_line = false;
};

const std::string PIN(64, 'e');
const std::string ZERO(1, '\0');

const RoundTripCase ROUND_TRIP_CASES[] = {
    {.name = "CRLF line ends and an upper-case token",
     .content = "token=0123456789ABCDEF\r\nsub=My PC\r\nports=80\r\n",
     .saved = "token=0123456789abcdef\nsub=my-pc\nports=80\n",
     .token = "0123456789abcdef",
     .sub = "my-pc"},
    {.name = "trimmed keys and values; comments go, other lines stay in order",
     .content = "# old header = x\n  # note = y\n token = " + TOKEN + " \n\tgw_pin\t=\t" + PIN +
                "\ninvite =  CODE \nnote without equals\n\nports=80,443\n",
     .saved = "token=" + TOKEN + "\nsub=\ngw_pin=" + PIN +
              "\ninvite=CODE\nnote without equals\n\nports=80,443\n",
     .gw_pin = PIN,
     .invite = "CODE"},
    {.name = "later lines override earlier ones",
     .content =
         "token=fedcba9876543210\nsub=one\ntoken=" + TOKEN + "\nsub=two\ninvite=a\ninvite=\n",
     .saved = "token=" + TOKEN + "\nsub=two\n",
     .sub = "two"},
    {.name = "punch and visit lines belong to their writer and stay as they stand",
     .content = "token=" + TOKEN + "\npunch=nas, Office ;bad name\nvisit= Office \n",
     .saved = "token=" + TOKEN + "\nsub=\npunch=nas, Office ;bad name\nvisit= Office \n",
     .punch = {"nas", "office"},
     .visit = "office",
     .has_punch_line = true,
     .has_visit_line = true},
    {.name = "credential keys without '=' are dropped on saving, other such lines stay",
     .content = "token=" + TOKEN + "\ntoken\nsub\nports\n",
     .saved = "token=" + TOKEN + "\nsub=\nports\n"},
    {.name = "lone carriage returns and zero bytes stay part of their lines",
     .content = "token=" + TOKEN + "\nnote\rmore\nzero" + ZERO + "byte\r\n",
     .saved = "token=" + TOKEN + "\nsub=\nnote\rmore\nzero" + ZERO + "byte\n"},
    {.name = "a byte-order mark is dropped",
     .content = "\xEF\xBB\xBFtoken=" + TOKEN + "\nsub=nas\n",
     .saved = "token=" + TOKEN + "\nsub=nas\n",
     .sub = "nas"},
    {.name = "values keep their '=' characters",
     .content = "token=" + TOKEN + "\ninvite=a=b\naccess=80=x\n",
     .saved = "token=" + TOKEN + "\nsub=\ninvite=a=b\naccess=80=x\n",
     .invite = "a=b"},
    {.name = "keys are not case-folded",
     .content = "token=" + TOKEN + "\nSUB=x\nInvite=y\n",
     .saved = "token=" + TOKEN + "\nsub=\nSUB=x\nInvite=y\n"},
    {.name = "Unicode blanks around keys and values are trimmed",
     .content = "token=" + TOKEN + "\n\u3000sub\u3000=\u3000office\u3000\n",
     .saved = "token=" + TOKEN + "\nsub=office\n",
     .sub = "office"},
};

class KeyFileRoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(KeyFileRoundTrip, LoadsNormalisesAndWritesBack) {
  const RoundTripCase& c = GetParam();
  TempDir dir;
  auto path = dir.path() / "id.ini";
  write_file(path, c.content);
  auto loaded = load_capturing(path);
  EXPECT_EQ(loaded.printed, "");
  EXPECT_EQ(read_file(path), c.content);  // loading a usable file writes nothing
  EXPECT_EQ(loaded.creds.token, c.token);
  EXPECT_EQ(loaded.creds.gw_pin, c.gw_pin);
  EXPECT_EQ(loaded.creds.invite, c.invite);
  EXPECT_EQ(loaded.creds.punch, c.punch);
  EXPECT_EQ(loaded.creds.visit, c.visit);
  EXPECT_EQ(loaded.creds.has_punch_line, c.has_punch_line);
  EXPECT_EQ(loaded.creds.has_visit_line, c.has_visit_line);
  if (c.sub) {
    EXPECT_EQ(loaded.creds.sub, c.sub);
  }

  Creds record = loaded.creds;
  record.sub = c.sub;  // an empty or missing sub gives a random name; keep the case's own
  save_creds(record);
  EXPECT_EQ(read_file(path), HEADER + c.saved);

  auto again = load_capturing(path);
  EXPECT_EQ(again.printed, "");
  EXPECT_EQ(again.creds.token, c.token);
  EXPECT_EQ(again.creds.gw_pin, c.gw_pin);
  EXPECT_EQ(again.creds.invite, c.invite);
  EXPECT_EQ(again.creds.punch, c.punch);
  EXPECT_EQ(again.creds.visit, c.visit);
  if (c.sub) {
    EXPECT_EQ(again.creds.sub, c.sub);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, KeyFileRoundTrip, testing::ValuesIn(ROUND_TRIP_CASES),
                         [](const auto& info) { return std::to_string(info.index); });

// Bytes that are no UTF-8 text: the file is replaced by a fresh identity, its old bytes
// kept beside it.
TEST(LoadCreds, OddBytesAreBackedUpBeforeTheFileIsReplaced) {
  struct Case {
    const char* name;
    std::string content;
  };
  const Case cases[] = {
      {"a lone continuation byte", "token=" + TOKEN + "\n\x80\n"},
      {"an overlong '/'", "token=" + TOKEN + "\nnote=\xC0\xAF\n"},
      {"an encoded surrogate", "token=" + TOKEN + "\nnote=\xED\xA0\x80\n"},
      {"a sequence cut off at the end", "token=" + TOKEN + "\nsub=\xE4\xB8"},
      {"beyond U+10FFFF", "token=" + TOKEN + "\n\xF4\x90\x80\x80\n"},
      {"Latin-1 text", "sub=caf\xE9\ntoken=" + TOKEN + "\n"},
      {"UTF-16 with its byte-order mark", std::string("\xFF\xFEt\0o\0k\0", 8)},
  };
  for (const auto& c : cases) {
    TempDir dir;
    auto path = dir.path() / "id.ini";
    write_file(path, c.content);
    auto loaded = load_capturing(path);
    EXPECT_EQ(loaded.printed, "") << c.name;
    EXPECT_TRUE(is_valid_token(loaded.creds.token)) << c.name;
    EXPECT_NE(loaded.creds.token, TOKEN) << c.name;
    EXPECT_EQ(loaded.creds.sub, std::nullopt) << c.name;
    EXPECT_EQ(read_file(path), HEADER + "token=" + loaded.creds.token + "\nsub=\n") << c.name;
    EXPECT_EQ(read_file(backup_of(path)), c.content) << c.name;
  }
}

// When the old bytes cannot be kept, the file is not replaced either: the fresh
// identity then lives in the returned record only.
TEST(LoadCreds, FileIsNotReplacedWhenItsBackupFails) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  std::string old = "token=" + TOKEN + "\nsub=caf\xE9\n";
  write_file(path, old);
  std::filesystem::create_directories(backup_of(path) / "blocker");  // no file can replace it
  auto loaded = load_capturing(path);
  EXPECT_TRUE(is_valid_token(loaded.creds.token));
  EXPECT_EQ(read_file(path), old);
  EXPECT_NE(loaded.printed.find("没有覆盖"), std::string::npos) << loaded.printed;
  save_creds(loaded.creds);
  EXPECT_EQ(read_file(path), old);
  EXPECT_TRUE(std::filesystem::is_directory(backup_of(path) / "blocker"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "id.ini.bak.tmp"));
}

#ifndef _WIN32
// The process is killed by the system while it writes the new text (it may write only
// WRITE_LIMIT bytes into any file): the key file must still hold its old text whole.
TEST(KeyFile, CrashInTheMiddleOfAWriteLeavesTheOldFileWhole) {
  constexpr rlim_t WRITE_LIMIT = 1000;
  TempDir dir;
  auto path = dir.path() / "id.ini";
  std::string old =
      HEADER + "token=" + TOKEN + "\nsub=office\nnote=" + std::string(800, 'o') + "\n";
  write_file(path, old);
  const std::string long_value(3000, '8');

  struct Writer {
    const char* name;
    std::function<void()> write;
  };
  const Writer writers[] = {
      {"set_key_line", [&] { (void)set_key_line(path, "ports", long_value); }},
      {"save_creds",
       [&] {
         Creds creds = load_creds(path);
         creds.invite = long_value;
         save_creds(creds);
       }},
      {"save_punch_settings", [&] { save_punch_settings(path, {"nas"}, long_value); }},
  };
  for (const auto& writer : writers) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      rlimit limit{WRITE_LIMIT, WRITE_LIMIT};
      ::setrlimit(RLIMIT_FSIZE, &limit);
      ::signal(SIGXFSZ, SIG_DFL);  // going past the limit kills the process
      writer.write();
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << writer.name << ": the write was not interrupted";
    EXPECT_EQ(WTERMSIG(status), SIGXFSZ) << writer.name;
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "id.ini.tmp"), WRITE_LIMIT) << writer.name;
    EXPECT_EQ(read_file(path), old) << writer.name;
  }
  // The next write replaces the broken temporary file and succeeds.
  ASSERT_TRUE(set_key_line(path, "ports", "80").ok());
  EXPECT_EQ(read_file(path), old + "ports=80\n");
  EXPECT_EQ(load_creds(path).token, TOKEN);
}

// Runs the check in a folder that cannot be written. Root may write anywhere, so root
// runs it in a child process that has given up root.
int run_in_read_only_folder(const std::filesystem::path& folder,
                            const std::function<std::string()>& check) {
  if (::geteuid() != 0) {
    std::filesystem::permissions(
        folder, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    std::string problems = check();
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    if (!problems.empty()) ADD_FAILURE() << problems;
    return problems.empty() ? 0 : 1;
  }
  constexpr uid_t NOBODY = 65534;
  std::filesystem::permissions(
      folder, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                  std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                  std::filesystem::perms::others_exec);
  pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (::setgid(NOBODY) != 0 || ::setuid(NOBODY) != 0) ::_exit(2);
    std::string problems = check();
    if (!problems.empty()) std::fprintf(stderr, "%s\n", problems.c_str());
    ::_exit(problems.empty() ? 0 : 1);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(KeyFile, ReadOnlyFolderIsNeverDamaged) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  auto missing = dir.path() / "missing" / "id.ini";
  std::string old = HEADER + "token=" + TOKEN + "\nsub=office\n";
  write_file(path, old);
  std::filesystem::permissions(
      path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read | std::filesystem::perms::others_read);
  int result = run_in_read_only_folder(dir.path(), [&]() -> std::string {
    std::string problems;
    auto note = [&problems](bool ok, const char* what) {
      if (!ok) problems += std::string(what) + "; ";
    };
    Creds creds = load_creds(path);
    note(creds.token == TOKEN, "the token is read");
    creds.sub = "renamed";
    save_creds(creds);
    auto saved = set_key_line(path, "ports", "80");
    note(!saved.ok() && saved.error().kind == ErrorKind::PermissionDenied && saved.error().os_code,
         "set_key_line reports the system's refusal");
    save_punch_settings(path, {"nas"}, "nas");
    note(read_file(path) == old, "the file keeps its text");
    note(!std::filesystem::exists(dir.path() / "id.ini.tmp"), "no temporary file");
    Creds fresh = load_creds(missing);
    note(is_valid_token(fresh.token), "a fresh identity without a file");
    note(!std::filesystem::exists(missing.parent_path()), "nothing created");
    return problems;
  });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(read_file(path), old);
}

// A key file kept elsewhere through a symbolic link stays there: the link survives
// every write.
TEST(KeyFile, SymbolicLinkIsWrittenThrough) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "synced");
  auto real = dir.path() / "synced" / "id.ini";
  auto link = dir.path() / "id.ini";
  write_file(real, "token=" + TOKEN + "\n");
  std::filesystem::create_symlink("synced/id.ini", link);

  ASSERT_TRUE(set_key_line(link, "ports", "80").ok());
  Creds creds = load_creds(link);
  creds.sub = "office";
  save_creds(creds);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(read_file(real), HEADER + "token=" + TOKEN + "\nsub=office\nports=80\n");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "id.ini.tmp"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "synced" / "id.ini.tmp"));

  // A link whose target is gone: the first load creates the target.
  std::filesystem::remove(real);
  Creds fresh = load_creds(link);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(read_file(real), HEADER + "token=" + fresh.token + "\nsub=\n");
}
#else
// Another program holding the key file open without letting it be replaced (an editor,
// a synchronisation tool): every writer gives up and leaves the file as it is.
TEST(KeyFile, FileHeldByAnotherProgramIsNeverDamaged) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  std::string old = HEADER + "token=" + TOKEN + "\nsub=office\n";
  write_file(path, old);
  HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  Creds creds = load_creds(path);
  EXPECT_EQ(creds.token, TOKEN);
  creds.sub = "renamed";
  save_creds(creds);
  auto saved = set_key_line(path, "ports", "80");
  CloseHandle(held);
  ASSERT_FALSE(saved.ok());
  EXPECT_NE(saved.error().os_code, std::nullopt);
  EXPECT_EQ(read_file(path), old);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "id.ini.tmp"));
}
#endif

}  // namespace
}  // namespace quillmar
