#include "settings/file_io.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "async_test.hpp"

namespace quillmar {
namespace {

using test::read_file;
using test::TempDir;
using test::write_file;

TEST(ReadFileBytes, ReadsEveryByte) {
  TempDir dir;
  std::string bytes(200000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  write_file(dir.path() / "f", bytes);
  auto read = read_file_bytes(dir.path() / "f");
  ASSERT_TRUE(read.ok());
  EXPECT_TRUE(read.value() == bytes);
}

TEST(ReadFileBytes, ErrorsCarryTheSystemCode) {
  TempDir dir;
  auto missing = read_file_bytes(dir.path() / "missing");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind, ErrorKind::NotFound);
  EXPECT_NE(missing.error().os_code, std::nullopt);
  EXPECT_FALSE(read_file_bytes(dir.path()).ok());
  EXPECT_FALSE(read_regular_file(dir.path()).ok());
}

TEST(ReadTextFile, RefusesBytesThatAreNotUtf8) {
  TempDir dir;
  write_file(dir.path() / "ok", "h\xC3\xA9\n");
  write_file(dir.path() / "bad", "h\xE9\n");
  EXPECT_EQ(read_text_file(dir.path() / "ok").value(), "h\xC3\xA9\n");
  auto bad = read_text_file(dir.path() / "bad");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind, ErrorKind::InvalidData);
  EXPECT_EQ(bad.error().message, "stream did not contain valid UTF-8");
}

TEST(ReplaceFile, CreatesAndReplacesWholeFiles) {
  TempDir dir;
  auto target = dir.path() / "t.ini";
  auto temp = dir.path() / "t.ini.tmp";
  ASSERT_TRUE(replace_file(target, temp, "one\n").ok());
  EXPECT_EQ(read_file(target), "one\n");
  ASSERT_TRUE(replace_file(target, temp, "").ok());
  EXPECT_EQ(read_file(target), "");
  ASSERT_TRUE(replace_file(target, temp, "two\n").ok());
  EXPECT_EQ(read_file(target), "two\n");
  EXPECT_FALSE(std::filesystem::exists(temp));
}

TEST(ReplaceFile, FailedRenameKeepsTheTargetAndTheCompleteTemp) {
  TempDir dir;
  auto target = dir.path() / "t.ini";
  std::filesystem::create_directories(target / "inside");  // no file can replace a folder
  auto temp = dir.path() / "t.ini.tmp";
  EXPECT_FALSE(replace_file(target, temp, "text").ok());
  EXPECT_TRUE(std::filesystem::is_directory(target / "inside"));
  EXPECT_EQ(read_file(temp), "text");
}

TEST(ReplaceFile, MissingFolderFailsWithoutLeftovers) {
  TempDir dir;
  auto target = dir.path() / "none" / "t.ini";
  auto written = replace_file(target, dir.path() / "none" / "t.ini.tmp", "text");
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().kind, ErrorKind::NotFound);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "none"));
}

TEST(RenameToNewName, NeverReplaces) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "a");
  std::filesystem::create_directories(dir.path() / "b");  // empty: rename() alone would replace it
  EXPECT_FALSE(rename_to_new_name(dir.path() / "a", dir.path() / "b").ok());
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "a"));
  ASSERT_TRUE(rename_to_new_name(dir.path() / "a", dir.path() / "c").ok());
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "c"));
}

TEST(CurrentExecutablePath, NamesThisProgram) {
  auto path = current_executable_path();
  ASSERT_TRUE(path.ok());
  EXPECT_TRUE(path.value().is_absolute());
  EXPECT_TRUE(std::filesystem::is_regular_file(path.value()));
  EXPECT_NE(path.value().filename().string().find("client_tests"), std::string::npos);
}

}  // namespace
}  // namespace quillmar
