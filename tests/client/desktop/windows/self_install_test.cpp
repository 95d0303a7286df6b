// Installation into the Wine prefix's own profile: the copy under LocalAppData, the
// shortcuts read back through IShellLinkW, the Run value read back from the registry,
// and the first-run offer answered through the message-box stand-in.
#include "desktop/windows/self_install.hpp"

#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include "desktop/shell_settings.hpp"
#include "desktop/windows/autostart.hpp"
#include "desktop/windows/install_actions.hpp"
#include "desktop/windows/shortcuts.hpp"
#include "desktop_test_support.hpp"
#include "settings/file_io.hpp"

namespace quillmar {
namespace {

using test::MessageBoxScript;
using test::read_file;

constexpr const wchar_t* RUN_KEY = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

std::filesystem::path installed_exe() { return install_exe_path().value(); }
std::filesystem::path pending_exe() {
  auto path = installed_exe();
  path += ".pending";
  return path;
}
std::filesystem::path start_menu_link() {
  return known_folder(FOLDERID_Programs).value() / "Quillmar.lnk";
}
std::filesystem::path desktop_link() { return desktop_link_path().value(); }
std::filesystem::path running_program() { return current_executable_path().value(); }

struct LinkContents {
  std::wstring target;
  std::wstring working_dir;
  std::wstring description;
  std::wstring icon;
  int icon_index = -1;
};

// A shortcut as the shell reads it back.
std::optional<LinkContents> read_link(const std::filesystem::path& path) {
  HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  std::optional<LinkContents> contents;
  IShellLinkW* link = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                 reinterpret_cast<void**>(&link)))) {
    IPersistFile* file = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
        SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
      wchar_t target[MAX_PATH] = {}, dir[MAX_PATH] = {}, description[MAX_PATH] = {},
              icon[MAX_PATH] = {};
      LinkContents read;
      link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
      link->GetWorkingDirectory(dir, MAX_PATH);
      link->GetDescription(description, MAX_PATH);
      link->GetIconLocation(icon, MAX_PATH, &read.icon_index);
      read.target = target;
      read.working_dir = dir;
      read.description = description;
      read.icon = icon;
      contents = read;
    }
    if (file != nullptr) file->Release();
    link->Release();
  }
  if (init == S_OK) CoUninitialize();
  return contents;
}

void expect_link_to_installed_copy(const std::filesystem::path& link) {
  auto contents = read_link(link);
  ASSERT_TRUE(contents.has_value()) << path_to_utf8(link);
  const auto program = installed_exe();
  EXPECT_TRUE(same_file(contents->target, program)) << from_wide(contents->target);
  EXPECT_TRUE(same_file(contents->working_dir, program.parent_path()))
      << from_wide(contents->working_dir);
  EXPECT_EQ(contents->description, L"Quillmar");
  EXPECT_TRUE(same_file(contents->icon, program)) << from_wide(contents->icon);
  EXPECT_EQ(contents->icon_index, 0);
}

struct RunValue {
  DWORD type;
  std::wstring data;
  DWORD size;
};

std::optional<RunValue> run_value() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, RUN_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return std::nullopt;
  std::optional<RunValue> value;
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key, L"Quillmar", nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
    std::wstring data(size / sizeof(wchar_t), L'\0');
    RegQueryValueExW(key, L"Quillmar", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    while (!data.empty() && data.back() == L'\0') data.pop_back();
    value = RunValue{type, data, size};
  }
  RegCloseKey(key);
  return value;
}

void set_run_value(const std::wstring& data, DWORD size) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, RUN_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(key, L"Quillmar", 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()), size);
  RegCloseKey(key);
}

void expect_run_value_names_the_installed_copy() {
  auto value = run_value();
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(value->data, installed_exe().native());
  EXPECT_EQ(value->size, (installed_exe().native().size() + 1) * sizeof(wchar_t));
}

// The profile of the Wine prefix is shared by every test process of the run: the tests
// that install into it take turns through a named mutex, and each leaves the profile
// as it found it, without install folder, shortcuts or Run value.
class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    turn_ = CreateMutexW(nullptr, FALSE, L"Local\\QuillmarProfileTests");
    ASSERT_NE(turn_, nullptr);
    const DWORD waited = WaitForSingleObject(turn_, 150'000);
    ASSERT_TRUE(waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) << waited;
    holding_ = true;
    clean_profile();
  }
  void TearDown() override {
    if (holding_) {
      clean_profile();
      ReleaseMutex(turn_);
    }
    if (turn_ != nullptr) CloseHandle(turn_);
  }

  static void clean_profile() {
    std::error_code ignored;
    SetFileAttributesW(installed_exe().c_str(), FILE_ATTRIBUTE_NORMAL);
    std::filesystem::remove_all(installed_exe().parent_path(), ignored);
    std::filesystem::remove(start_menu_link(), ignored);
    std::filesystem::remove(desktop_link(), ignored);
    RegDeleteKeyValueW(HKEY_CURRENT_USER, RUN_KEY, L"Quillmar");
  }

  std::string shell_ini() const { return settings.text(); }

  test::ShellSettingsDir settings;
  MessageBoxScript boxes;

 private:
  HANDLE turn_ = nullptr;
  bool holding_ = false;
};

TEST_F(ProfileTest, InstallCopiesTheProgramAndWritesTheStartMenuLink) {
  auto installed = install_self();
  ASSERT_TRUE(installed) << installed.error().display();
  EXPECT_EQ(installed.value(), installed_exe());
  EXPECT_EQ(read_file(installed_exe()), read_file(running_program()));
  EXPECT_FALSE(std::filesystem::exists(pending_exe()));
  expect_link_to_installed_copy(start_menu_link());
  EXPECT_FALSE(std::filesystem::exists(desktop_link())) << "nobody asked for one";
  EXPECT_FALSE(run_value().has_value());
  EXPECT_EQ(shell_ini(), "offer_done=1\n");
  EXPECT_FALSE(is_installed()) << "the running program is still the downloaded one";

  // Again over the first copy.
  ASSERT_TRUE(install_self());
  EXPECT_EQ(read_file(installed_exe()), read_file(running_program()));
}

TEST_F(ProfileTest, RunFromTheInstallLocationItCopiesNothingButRewritesTheShortcuts) {
  ASSERT_TRUE(install_self());
  test::write_file(installed_exe(), "the installed build");
  std::filesystem::remove(start_menu_link());
  auto installed = install_program(installed_exe());
  ASSERT_TRUE(installed) << installed.error().display();
  EXPECT_EQ(read_file(installed_exe()), "the installed build");
  EXPECT_FALSE(std::filesystem::exists(pending_exe()));
  expect_link_to_installed_copy(start_menu_link());
}

TEST_F(ProfileTest, MenuInstallReportsWhereTheProgramWent) {
  menu_install(nullptr, boxes.call());
  ASSERT_EQ(boxes.records.size(), 1u);
  EXPECT_EQ(boxes.records[0].text, "已安装 / 更新到本机：\n" + path_to_utf8(installed_exe()) +
                                       "\n开始菜单快捷方式已就绪。");
  EXPECT_EQ(boxes.records[0].caption, L"Quillmar");
  EXPECT_EQ(boxes.records[0].type, static_cast<UINT>(MB_ICONINFORMATION));
  EXPECT_TRUE(std::filesystem::exists(installed_exe()));
}

TEST_F(ProfileTest, DesktopLinkTogglesAndTheWishIsRemembered) {
  EXPECT_FALSE(desktop_link_exists());
  toggle_desktop_link(nullptr, boxes.call());
  EXPECT_EQ(boxes.texts(), std::vector<std::string>{"已创建桌面快捷方式。"});
  EXPECT_TRUE(desktop_link_exists());
  expect_link_to_installed_copy(desktop_link());
  expect_link_to_installed_copy(start_menu_link());
  EXPECT_TRUE(shell_ini_flag("desktop_shortcut"));

  // An installation renews a wanted desktop link, even one that was deleted by hand.
  std::filesystem::remove(desktop_link());
  ASSERT_TRUE(install_self());
  EXPECT_TRUE(desktop_link_exists());

  toggle_desktop_link(nullptr, boxes.call());
  EXPECT_EQ(boxes.records.size(), 1u) << "a removal says nothing";
  EXPECT_FALSE(desktop_link_exists());
  EXPECT_TRUE(std::filesystem::exists(start_menu_link()));
  EXPECT_TRUE(shell_ini().ends_with("desktop_shortcut=0\n")) << shell_ini();

  // Removing a link that is already gone still forgets the wish.
  test::write_file(settings.file(), "desktop_shortcut=1\n");
  ASSERT_TRUE(set_desktop_link(false));
  EXPECT_EQ(shell_ini(), "desktop_shortcut=0\n");
}

TEST_F(ProfileTest, AutostartTogglesTheRunValue) {
  EXPECT_FALSE(autostart_enabled());
  toggle_autostart(nullptr, boxes.call());
  EXPECT_EQ(boxes.texts(), std::vector<std::string>{"已开启开机启动。"});
  EXPECT_TRUE(autostart_enabled());
  expect_run_value_names_the_installed_copy();
  EXPECT_TRUE(std::filesystem::exists(installed_exe()));

  toggle_autostart(nullptr, boxes.call());
  EXPECT_EQ(boxes.texts().back(), "已关闭开机启动。");
  EXPECT_FALSE(autostart_enabled());
  EXPECT_FALSE(run_value().has_value());
  ASSERT_TRUE(set_autostart(false)) << "a missing value is fine";
}

TEST_F(ProfileTest, AnInstallationRepointsAnExistingRunValue) {
  const std::wstring elsewhere = L"C:\\Downloads\\Quillmar.exe";
  set_run_value(elsewhere, static_cast<DWORD>((elsewhere.size() + 1) * sizeof(wchar_t)));
  ASSERT_TRUE(install_self());
  expect_run_value_names_the_installed_copy();
  ASSERT_TRUE(set_desktop_link(true));
  expect_run_value_names_the_installed_copy();
}

TEST_F(ProfileTest, AnEmptyRunValueIsNoAutostart) {
  set_run_value(L"", 0);
  ASSERT_TRUE(run_value().has_value());
  EXPECT_FALSE(autostart_enabled());
}

TEST_F(ProfileTest, FirstRunOfferAcceptedInstallsWithShortcutAndAutostart) {
  MessageBoxScript answers({IDYES, IDYES, IDYES});
  offer_first_run_install(nullptr, answers.call());
  EXPECT_EQ(
      answers.texts(),
      (std::vector<std::string>{"是否安装到本机？\n\n推荐：复制到用户目录、创建开始菜单快捷方式。\n"
                                "可随时在托盘菜单里改「开机启动」和「桌面快捷方式」。",
                                "是否在桌面创建快捷方式？", "是否开机自动启动 Quillmar？",
                                "已安装到本机。\n开始菜单可找到 Quillmar。\n"
                                "建议下次从开始菜单启动（不必再从下载文件夹打开）。"}));
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_EQ(answers.records[i].type, static_cast<UINT>(MB_ICONQUESTION | MB_YESNO));
  EXPECT_EQ(answers.records[3].type, static_cast<UINT>(MB_ICONINFORMATION));
  expect_link_to_installed_copy(start_menu_link());
  expect_link_to_installed_copy(desktop_link());
  expect_run_value_names_the_installed_copy();
  EXPECT_TRUE(shell_ini_flag("offer_done"));

  // Asked once only.
  MessageBoxScript again({IDYES});
  offer_first_run_install(nullptr, again.call());
  EXPECT_TRUE(again.records.empty());
}

TEST_F(ProfileTest, FirstRunOfferDeclinedIsRememberedAndNotRepeated) {
  offer_first_run_install(nullptr, boxes.call());  // answers No
  EXPECT_EQ(boxes.records.size(), 1u);
  EXPECT_EQ(shell_ini(), "offer_done=1\n") << "written before the question";
  EXPECT_FALSE(std::filesystem::exists(installed_exe()));
  offer_first_run_install(nullptr, boxes.call());
  EXPECT_EQ(boxes.records.size(), 1u);
}

TEST_F(ProfileTest, TheWindowMakesTheOfferWhileItIsCreated) {
  test::TestWindow w({.offer_done = false, .answers = {IDNO}});
  ASSERT_NE(w.window, nullptr);
  ASSERT_EQ(w.boxes.records.size(), 1u);
  EXPECT_EQ(w.boxes.records[0].owner, w.window);
  EXPECT_EQ(w.notify.records.size(), 1u) << "the icon is in the tray before the question";
  EXPECT_TRUE(w.settings.text().starts_with("offer_done=1\n"));
}

// Open for the test: share_mode decides what the installation may still do with it.
HANDLE hold_installed_copy(DWORD share_mode) {
  return CreateFileW(installed_exe().c_str(), GENERIC_READ, share_mode, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

std::uint64_t file_index(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  GetFileInformationByHandle(file, &info);
  return (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
}

TEST_F(ProfileTest, AnInstalledCopyThatCannotBeRenamedOverIsReplacedByACopy) {
  ASSERT_TRUE(install_self());
  test::write_file(installed_exe(), "an older version");
  // Without leave to delete it, a rename over it fails; writing into it works.
  HANDLE held = hold_installed_copy(FILE_SHARE_READ | FILE_SHARE_WRITE);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  auto installed = install_self();
  ASSERT_TRUE(installed) << installed.error().display();
  HANDLE now = hold_installed_copy(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  EXPECT_EQ(file_index(now), file_index(held)) << "the same file, written over";
  CloseHandle(now);
  CloseHandle(held);
  EXPECT_FALSE(std::filesystem::exists(pending_exe()));
  EXPECT_EQ(read_file(installed_exe()), read_file(running_program()));
}

TEST_F(ProfileTest, WhenTheCopyFailsTooTheErrorIsShownAndThePendingCopyStays) {
  ASSERT_TRUE(install_self());
  HANDLE held = hold_installed_copy(0);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  menu_install(nullptr, boxes.call());
  CloseHandle(held);
  ASSERT_EQ(boxes.records.size(), 1u);
  EXPECT_TRUE(boxes.records[0].text.starts_with("安装失败：")) << boxes.records[0].text;
  EXPECT_TRUE(boxes.records[0].text.ends_with(" (os error 32)")) << boxes.records[0].text;
  EXPECT_TRUE(std::filesystem::exists(pending_exe()));
}

TEST(SameFile, ComparesWhatTheNamesLeadTo) {
  test::TempDir dir;
  test::write_file(dir.path() / "a.exe", "a");
  test::write_file(dir.path() / "b.exe", "b");
  EXPECT_TRUE(same_file(dir.path() / "a.exe", dir.path() / "sub" / ".." / "A.EXE"));
  EXPECT_FALSE(same_file(dir.path() / "a.exe", dir.path() / "b.exe"));
  EXPECT_TRUE(same_file(dir.path() / "gone.exe", dir.path() / "gone.exe"));
  EXPECT_FALSE(same_file(dir.path() / "gone.exe", dir.path() / "GONE.exe"))
      << "names that lead nowhere are compared as they are";
}

TEST(WriteShortcut, RefusesNamesThatAreNotUnicode) {
  test::TempDir dir;
  const std::filesystem::path program = dir.path() / "Quillmar.exe";
  const std::wstring unpaired{L'x', 0xD800};
  auto bad_link = write_shortcut(dir.path() / (unpaired + L".lnk"), program);
  ASSERT_FALSE(bad_link);
  EXPECT_EQ(bad_link.error().message, "shortcut path is not UTF-8");
  auto bad_program = write_shortcut(dir.path() / "Quillmar.lnk", dir.path() / unpaired);
  ASSERT_FALSE(bad_program);
  EXPECT_EQ(bad_program.error().message, "exe path is not UTF-8");
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(WriteShortcut, CreatesTheFolderAndTheLink) {
  test::TempDir dir;
  test::write_file(dir.path() / "Quillmar.exe", "program");
  const auto link = dir.path() / "菜单" / "Quillmar.lnk";
  ASSERT_TRUE(write_shortcut(link, dir.path() / "Quillmar.exe"));
  auto contents = read_link(link);
  ASSERT_TRUE(contents.has_value());
  EXPECT_TRUE(same_file(contents->target, dir.path() / "Quillmar.exe"));
  EXPECT_EQ(contents->description, L"Quillmar");
}

TEST(KnownFolder, AnUnknownFolderIsAnErrorWithItsResult) {
  const GUID unknown = {
      0x1c2b3a49, 0x5d6e, 0x4f70, {0x81, 0x92, 0xa3, 0xb4, 0xc5, 0xd6, 0xe7, 0xf8}};
  auto folder = known_folder(unknown);
  ASSERT_FALSE(folder);
  const std::string& message = folder.error().message;
  EXPECT_TRUE(message.starts_with("SHGetKnownFolderPath failed: -")) << message;
  EXPECT_GT(message.size(), std::string_view("SHGetKnownFolderPath failed: -").size());
  auto local = known_folder(FOLDERID_LocalAppData);
  ASSERT_TRUE(local) << local.error().display();
  EXPECT_TRUE(std::filesystem::is_directory(local.value()));
}

}  // namespace
}  // namespace quillmar
