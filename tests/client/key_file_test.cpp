#include "key_file.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "async_test.hpp"
#include "environment.hpp"
#include "key_file_writers.hpp"
#include "validators.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
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
      EXPECT_EQ(loaded.printed.substr(0, unusable_message(path).size()), unusable_message(path))
          << c.name;
      EXPECT_NE(read_file(path).find("token=" + loaded.creds.token + "\n"), std::string::npos)
          << c.name;
    }
  }
}

TEST(LoadCreds, FreshTokenKeepsTheOtherSettingsAndBacksUpTheOldFile) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  std::string old = "token=0123456789abcdeg\nsub=office\ninvite=CODE\nports=80\n";
  write_file(path, old);
  auto loaded = load_capturing(path);
  EXPECT_NE(loaded.printed.find(unusable_message(path)), std::string::npos);
  EXPECT_EQ(loaded.creds.sub, "office");
  EXPECT_EQ(loaded.creds.invite, "CODE");
  EXPECT_EQ(read_file(path),
            HEADER + "token=" + loaded.creds.token + "\nsub=office\ninvite=CODE\nports=80\n");
  EXPECT_EQ(read_file(backup_of(path)), old);
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
  EXPECT_NE(loaded.printed.find(path_to_utf8(backup_of(path))), std::string::npos)
      << loaded.printed;

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
}

// An existing key file that cannot be read may hold the only copy of the device's
// credential: it is neither replaced nor deleted.
TEST(LoadCreds, ExistingFileThatCannotBeReadIsNeverReplaced) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
#ifdef _WIN32
  write_file(path, "token=" + TOKEN + "\n");
  // Another program holding the file without sharing it.
  HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  auto loaded = load_capturing(path);
  Creds changed = loaded.creds;
  changed.sub = "other";
  save_creds(changed);
  CloseHandle(held);
  EXPECT_EQ(read_file(path), "token=" + TOKEN + "\n");
#else
  // Something that is no plain file; reading it must not block either.
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  auto loaded = load_capturing(path);
  Creds changed = loaded.creds;
  changed.sub = "other";
  save_creds(changed);
  EXPECT_EQ(std::filesystem::status(path).type(), std::filesystem::file_type::fifo);
#endif
  EXPECT_TRUE(is_valid_token(loaded.creds.token));
  EXPECT_NE(loaded.printed.find("没有覆盖"), std::string::npos) << loaded.printed;
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
TEST(SaveCreds, FullDiskLeavesTheOldFileWhole) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  TempDir dir;
  auto path = dir.path() / "id.ini";
  std::string old = HEADER + "token=" + TOKEN + "\nsub=office\n";
  write_file(path, old);
  auto temp = dir.path() / "id.ini.tmp";
  std::filesystem::create_symlink("/dev/full", temp);  // every write to it fails with ENOSPC

  auto saved = set_key_line(path, "ports", "80");
  ASSERT_FALSE(saved.ok());
  EXPECT_NE(saved.error().os_code, std::nullopt);
  EXPECT_EQ(read_file(path), old);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(temp)));
}
#endif

TEST(KeyFile, ConcurrentWritersLoseNoLine) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  Creds first = load_creds(path);
  constexpr int THREADS = 8;
  constexpr int ROUNDS = 15;
  std::vector<std::thread> writers;
  for (int t = 0; t < THREADS; ++t) {
    writers.emplace_back([&path, t] {
      for (int round = 0; round < ROUNDS; ++round) {
        std::string key = "key" + std::to_string(t);
        ASSERT_TRUE(set_key_line(path, key, std::to_string(round)).ok());
        if (t == 0) {
          Creds creds = load_creds(path);
          creds.invite = "code" + std::to_string(round);
          save_creds(creds);
        }
        if (t == 1) save_punch_settings(path, {"nas"}, "v" + std::to_string(round));
      }
    });
  }
  for (auto& writer : writers) writer.join();

  std::string text = read_file(path);
  for (int t = 0; t < THREADS; ++t) {
    EXPECT_NE(text.find("\nkey" + std::to_string(t) + "=" + std::to_string(ROUNDS - 1) + "\n"),
              std::string::npos)
        << text;
  }
  Creds last = load_creds(path);
  EXPECT_EQ(last.token, first.token);
  EXPECT_EQ(last.invite, "code" + std::to_string(ROUNDS - 1));
  EXPECT_EQ(last.visit, "v" + std::to_string(ROUNDS - 1));
  EXPECT_EQ(last.punch, std::vector<std::string>{"nas"});
}

}  // namespace
}  // namespace quillmar
