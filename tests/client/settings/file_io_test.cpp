#include "settings/file_io.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "async_test.hpp"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

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

constexpr auto READ_ONLY = std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                           std::filesystem::perms::others_read;

// A file the user made read-only is not replaced behind their back, although the
// folder would let a rename do it.
TEST(ReplaceFile, RefusesATargetThatMayNotBeWritten) {
  TempDir dir;
  auto target = dir.path() / "t.ini";
  auto temp = dir.path() / "t.ini.tmp";
  write_file(target, "kept\n");
  std::filesystem::permissions(target, READ_ONLY);
  auto written = replace_file(target, temp, "new\n");
  auto mode = std::filesystem::status(target).permissions();
  std::filesystem::permissions(target, std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().kind, ErrorKind::PermissionDenied);
  EXPECT_NE(written.error().os_code, std::nullopt);
  EXPECT_EQ(read_file(target), "kept\n");
  EXPECT_EQ(mode, READ_ONLY);
  EXPECT_FALSE(std::filesystem::exists(temp));
}

#ifndef _WIN32
std::filesystem::perms mode_of(const std::filesystem::path& path) {
  return std::filesystem::status(path).permissions();
}

TEST(ReplaceFile, KeepsTheTargetsPermissionsAndGivesNewFilesTheOwnersOnly) {
  using std::filesystem::perms;
  TempDir dir;
  auto target = dir.path() / "t.ini";
  auto temp = dir.path() / "t.ini.tmp";
  ASSERT_TRUE(replace_file(target, temp, "one\n").ok());
  EXPECT_EQ(mode_of(target), perms::owner_read | perms::owner_write);

  const auto shared_with_group = perms::owner_read | perms::owner_write | perms::group_read;
  std::filesystem::permissions(target, shared_with_group);
  ASSERT_TRUE(replace_file(target, temp, "two\n").ok());
  EXPECT_EQ(read_file(target), "two\n");
  EXPECT_EQ(mode_of(target), shared_with_group);
}

// Root replacing another user's file (a client run with sudo) leaves it that user's,
// as writing it in place would.
TEST(ReplaceFile, KeepsTheTargetsOwner) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root may give a file away";
  constexpr uid_t NOBODY = 65534;
  TempDir dir;
  auto target = dir.path() / "t.ini";
  write_file(target, "old\n");
  ASSERT_EQ(::chown(target.c_str(), NOBODY, NOBODY), 0);
  ASSERT_TRUE(replace_file(target, dir.path() / "t.ini.tmp", "new\n").ok());
  struct stat info {};
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, NOBODY);
  EXPECT_EQ(info.st_gid, NOBODY);
  EXPECT_EQ(read_file(target), "new\n");
}

// A temporary file left over from an earlier run is never written into as it stands:
// it may be readable by anyone. The new one has the target's own permissions.
TEST(ReplaceFile, StartsTheTemporaryFileAfresh) {
  using std::filesystem::perms;
  TempDir dir;
  auto target = dir.path() / "t.ini";
  auto temp = dir.path() / "t.ini.tmp";
  write_file(target, "old\n");
  std::filesystem::permissions(target, perms::owner_read | perms::owner_write);
  write_file(temp, "stale copy\n");
  std::filesystem::permissions(temp, perms::all);
  ASSERT_TRUE(replace_file(target, temp, "new\n").ok());
  EXPECT_EQ(read_file(target), "new\n");
  EXPECT_EQ(mode_of(target), perms::owner_read | perms::owner_write);
  EXPECT_FALSE(std::filesystem::exists(temp));

  // Nor is a link left in its place followed to wherever it points.
  auto elsewhere = dir.path() / "elsewhere";
  write_file(elsewhere, "not yours\n");
  std::filesystem::create_symlink(elsewhere, temp);
  ASSERT_TRUE(replace_file(target, temp, "newer\n").ok());
  EXPECT_EQ(read_file(target), "newer\n");
  EXPECT_EQ(read_file(elsewhere), "not yours\n");
}
#endif

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
