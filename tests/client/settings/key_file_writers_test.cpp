#include "settings/key_file_writers.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "app/environment.hpp"
#include "async_test.hpp"
#include "settings/key_file.hpp"

namespace quillmar {
namespace {

using test::read_file;
using test::TempDir;
using test::write_file;

const std::string TOKEN_LINE = "token=0123456789abcdef0123456789abcdef\n";

std::string digest(char c) { return std::string(64, c); }

struct KeyFile {
  TempDir dir;
  std::filesystem::path path = dir.path() / "id.ini";
  explicit KeyFile(const std::string& content) { write_file(path, content); }
};

TEST(SetKeyLine, RefusesAFileWithoutCredential) {
  struct Case {
    const char* name;
    std::optional<std::string> content;  // none: no file
  };
  const Case cases[] = {
      {"no file", std::nullopt},
      {"no token line", "sub=x\nports=80\n"},
      {"a blank before token=", " token=0123456789abcdef\n"},
      {"token with blanks before =", "token =0123456789abcdef\n"},
      {"not UTF-8", TOKEN_LINE + "\xFF\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    auto path = dir.path() / "id.ini";
    if (c.content) write_file(path, *c.content);
    auto saved = set_key_line(path, "invite", "CODE");
    ASSERT_FALSE(saved.ok()) << c.name;
    EXPECT_EQ(saved.error().kind, ErrorKind::Other) << c.name;
    EXPECT_EQ(saved.error().message, "设备凭据尚未初始化") << c.name;
    if (c.content) {
      EXPECT_EQ(read_file(path), *c.content) << c.name;
    } else {
      EXPECT_FALSE(std::filesystem::exists(path)) << c.name;
    }
  }
}

TEST(SetKeyLine, ReplacesEveryLineOfTheKeyAndAppendsTheNewOne) {
  KeyFile file("# header\n" + TOKEN_LINE + "ports=1\n  ports=2\nports =3\nportsX=4\n\nsub=x\n");
  ASSERT_TRUE(set_key_line(file.path, "ports", "80,81").ok());
  EXPECT_EQ(read_file(file.path),
            "# header\n" + TOKEN_LINE + "ports =3\nportsX=4\n\nsub=x\nports=80,81\n");
}

TEST(SetKeyLine, WritesCrlfFilesBackWithLf) {
  KeyFile file("token=0123456789abcdef\r\ninvite=old\r\nnote\r\n");
  ASSERT_TRUE(set_key_line(file.path, "invite", "new").ok());
  EXPECT_EQ(read_file(file.path), "token=0123456789abcdef\nnote\ninvite=new\n");
}

TEST(SetKeyLine, KeepsTheValueUnchanged) {
  KeyFile file(TOKEN_LINE);
  ASSERT_TRUE(set_key_line(file.path, "invite", " a=b ").ok());
  EXPECT_EQ(read_file(file.path), TOKEN_LINE + "invite= a=b \n");
}

TEST(SetKeyLine, RefusesALineBreakInTheValue) {
  KeyFile file(TOKEN_LINE);
  for (const char* value : {"a\ntoken=fedcba9876543210", "a\rb"}) {
    auto saved = set_key_line(file.path, "invite", value);
    ASSERT_FALSE(saved.ok());
    EXPECT_EQ(saved.error().kind, ErrorKind::InvalidInput);
    EXPECT_EQ(read_file(file.path), TOKEN_LINE);
  }
}

TEST(SetKeyLine, LeadingUnicodeBlanksDoNotHideALineOfTheKey) {
  KeyFile file(TOKEN_LINE + "\u3000invite=old\n\tinvite=older\nnote\r\n");
  ASSERT_TRUE(set_key_line(file.path, "invite", "new").ok());
  EXPECT_EQ(read_file(file.path), TOKEN_LINE + "note\ninvite=new\n");
}

TEST(SetKeyLine, KeepsALoneCarriageReturnAndAMissingFinalLineBreak) {
  KeyFile file(TOKEN_LINE + "a\rb\nlast\r");
  ASSERT_TRUE(set_key_line(file.path, "ports", "80").ok());
  EXPECT_EQ(read_file(file.path), TOKEN_LINE + "a\rb\nlast\r\nports=80\n");
}

TEST(SetKeyLine, AcceptsAFileSavedWithAByteOrderMark) {
  KeyFile file("\xEF\xBB\xBF" + TOKEN_LINE);
  ASSERT_TRUE(set_key_line(file.path, "invite", "CODE").ok());
  EXPECT_EQ(read_file(file.path), TOKEN_LINE + "invite=CODE\n");
}

TEST(LinesWithoutKey, StepsThroughTheKeptLines) {
  std::string_view rest = "a=1\r\n  a=2\nb=3\n\na =4\nlast";
  std::vector<std::string> kept;
  while (auto line = lines_without_key(rest, "a=")) kept.push_back(*line);
  EXPECT_EQ(kept, (std::vector<std::string>{"b=3", "", "a =4", "last"}));
  EXPECT_TRUE(rest.empty());
  std::string_view empty;
  EXPECT_EQ(lines_without_key(empty, "a="), std::nullopt);
}

TEST(SavePorts, WritesThePortsInOrder) {
  KeyFile file(TOKEN_LINE + "ports=1\n");
  save_ports(file.path, {8080, 22, 3000});
  EXPECT_EQ(read_file(file.path), TOKEN_LINE + "ports=8080,22,3000\n");
  save_ports(file.path, {});
  EXPECT_EQ(read_file(file.path), TOKEN_LINE + "ports=\n");
}

TEST(SavePorts, WithoutKeyFileReportsAndCreatesNothing) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  testing::internal::CaptureStderr();
  save_ports(path, {80});
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "client: 保存端口映射失败: 设备凭据尚未初始化\n");
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(SaveAccess, WritesEntriesInPortOrder) {
  KeyFile file(TOKEN_LINE);
  save_access(file.path, {{3000, digest('a')}, {80, digest('b')}});
  EXPECT_EQ(read_file(file.path),
            TOKEN_LINE + "access=80=" + digest('b') + ",3000=" + digest('a') + "\n");
  save_access(file.path, {});
  EXPECT_EQ(read_file(file.path), TOKEN_LINE + "access=\n");
}

TEST(SaveAccess, ReportsARefusal) {
  TempDir dir;
  testing::internal::CaptureStderr();
  save_access(dir.path() / "id.ini", {{80, digest('a')}});
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "client: 保存访问密码失败: 设备凭据尚未初始化\n");
}

TEST(SaveTargets, LeavesOutInvalidHosts) {
  KeyFile file(TOKEN_LINE);
  save_targets(file.path, {{81, "0.0.0.0"}, {80, "nas.lan"}, {82, "host."}, {22, "10.0.0.2"}});
  EXPECT_EQ(read_file(file.path), TOKEN_LINE + "targets=22@10.0.0.2,80@nas.lan\n");
  save_targets(file.path, {});
  EXPECT_EQ(read_file(file.path), TOKEN_LINE + "targets=\n");
}

TEST(SaveTargets, ReportsARefusal) {
  TempDir dir;
  testing::internal::CaptureStderr();
  save_targets(dir.path() / "id.ini", {{80, "nas.lan"}});
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "client: 保存目标地址失败: 设备凭据尚未初始化\n");
}

TEST(SavePunchSettings, AppendsMissingLinesInOrder) {
  KeyFile file(TOKEN_LINE + "ports=80\n");
  save_punch_settings(file.path, {"nas", "laptop"}, "office");
  EXPECT_EQ(read_file(file.path), TOKEN_LINE + "ports=80\npunch=nas,laptop\nvisit=office\n");
}

TEST(SavePunchSettings, ReplacesLinesWhereTheyStand) {
  KeyFile file(TOKEN_LINE + "punch=old\r\n visit = old\r\nports=80\r\npunch =older\r\n");
  save_punch_settings(file.path, {}, "");
  EXPECT_EQ(read_file(file.path), TOKEN_LINE + "punch=\nvisit=\nports=80\npunch=\n");
}

TEST(SavePunchSettings, NeedsNoTokenButAReadableFile) {
  KeyFile file("ports=80\n");
  save_punch_settings(file.path, {"nas"}, "");
  EXPECT_EQ(read_file(file.path), "ports=80\npunch=nas\nvisit=\n");

  TempDir dir;
  auto missing = dir.path() / "id.ini";
  testing::internal::CaptureStderr();
  save_punch_settings(missing, {"nas"}, "nas");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(std::filesystem::exists(missing));

  KeyFile latin1("ports=80\n\xE9\n");
  save_punch_settings(latin1.path, {"nas"}, "");
  EXPECT_EQ(read_file(latin1.path), "ports=80\n\xE9\n");
}

TEST(KeyFileWriters, KeepTheCredentialLinesUntouched) {
  TempDir dir;
  auto path = dir.path() / "id.ini";
  Creds creds = load_creds(path);
  creds.sub = "office";
  creds.gw_pin = digest('c');
  save_creds(creds);
  save_ports(path, {80});
  save_access(path, {{80, digest('d')}});
  save_targets(path, {{80, "nas.lan"}});
  save_punch_settings(path, {"nas"}, "nas");
  ASSERT_TRUE(set_key_line(path, "invite", "CODE").ok());
  Creds again = load_creds(path);
  EXPECT_EQ(again.token, creds.token);
  EXPECT_EQ(again.sub, "office");
  EXPECT_EQ(again.gw_pin, digest('c'));
  EXPECT_EQ(again.invite, "CODE");
  EXPECT_EQ(again.punch, std::vector<std::string>{"nas"});
  EXPECT_EQ(read_file(path), std::string(KEY_FILE_HEADER) + "\ntoken=" + creds.token +
                                 "\nsub=office\ngw_pin=" + digest('c') +
                                 "\nports=80\naccess=80=" + digest('d') +
                                 "\ntargets=80@nas.lan\npunch=nas\nvisit=nas\ninvite=CODE\n");
}

}  // namespace
}  // namespace quillmar
