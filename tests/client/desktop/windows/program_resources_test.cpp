// The icon and version resources of Quillmar.exe, read from the built program.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "console/assets.hpp"

namespace quillmar {
namespace {

#pragma pack(push, 2)
struct GroupIconEntry {  // one image of an RT_GROUP_ICON resource
  BYTE width;            // 0 stands for 256
  BYTE height;
  BYTE colors;
  BYTE reserved;
  WORD planes;
  WORD bit_count;
  DWORD bytes;
  WORD id;  // the RT_ICON resource holding the image
};
#pragma pack(pop)

class ProgramResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(test::quillmar_program().c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr) << GetLastError();
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }

  std::string resource(LPCWSTR type, LPCWSTR name) const {
    HRSRC found = FindResourceW(module_, name, type);
    if (found == nullptr) return {};
    HGLOBAL loaded = LoadResource(module_, found);
    const auto* bytes = static_cast<const char*>(LockResource(loaded));
    return bytes != nullptr ? std::string(bytes, SizeofResource(module_, found)) : std::string();
  }

  HMODULE module_ = nullptr;
};

TEST_F(ProgramResources, IconOneHoldsNineImagesAndTheConsoleIconAt64Pixels) {
  const std::string group = resource(RT_GROUP_ICON, MAKEINTRESOURCEW(1));
  ASSERT_GE(group.size(), 6u);
  WORD count = 0;
  std::memcpy(&count, group.data() + 4, sizeof count);
  ASSERT_EQ(count, 9);
  ASSERT_EQ(group.size(), 6 + count * sizeof(GroupIconEntry));
  std::vector<int> sizes;
  for (WORD i = 0; i < count; ++i) {
    GroupIconEntry entry;
    std::memcpy(&entry, group.data() + 6 + i * sizeof entry, sizeof entry);
    const int side = entry.width == 0 ? 256 : entry.width;
    sizes.push_back(side);
    EXPECT_EQ(entry.bit_count, 32) << side;
    const std::string image = resource(RT_ICON, MAKEINTRESOURCEW(entry.id));
    EXPECT_EQ(image.size(), entry.bytes) << side;
    if (side == 64) {
      EXPECT_EQ(image, std::string(console_icon_bytes())) << "the console's own icon";
    }
  }
  EXPECT_EQ(sizes, (std::vector<int>{16, 20, 24, 32, 40, 48, 64, 128, 256}));

  // The system picks the image of each size from the resource.
  for (int side : {16, 32, 64, 256}) {
    auto* icon =
        static_cast<HICON>(LoadImageW(module_, MAKEINTRESOURCEW(1), IMAGE_ICON, side, side, 0));
    ASSERT_NE(icon, nullptr) << side;
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAP bitmap{};
    GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
    EXPECT_EQ(bitmap.bmWidth, side);
    EXPECT_EQ(bitmap.bmHeight, side);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
  }
}

// The value of one string of the version's StringFileInfo: the UTF-16 key, its 0, the
// padding to a 4-byte boundary, then the value.
std::wstring version_string(const std::string& block, std::wstring_view key) {
  std::wstring units(block.size() / 2, L'\0');
  std::memcpy(units.data(), block.data(), units.size() * 2);
  auto at = units.find(std::wstring(key) + L'\0');
  if (at == std::wstring::npos) return {};
  std::size_t value = at + key.size() + 1;
  if (value % 2 != 0) ++value;  // 4-byte alignment of the whole block, in units
  return units.substr(value, units.find(L'\0', value) - value);
}

TEST_F(ProgramResources, VersionNamesTheProductAndVersion) {
  const std::string version = resource(RT_VERSION, MAKEINTRESOURCEW(1));
  ASSERT_FALSE(version.empty());
  EXPECT_EQ(version_string(version, L"ProductName"), L"Quillmar");
  EXPECT_EQ(version_string(version, L"ProductVersion"), L"0.2.0");
  EXPECT_EQ(version_string(version, L"FileVersion"), L"0.2.0");

  const DWORD signature = 0xFEEF04BD;
  auto at = version.find(std::string(reinterpret_cast<const char*>(&signature), 4));
  ASSERT_NE(at, std::string::npos);
  VS_FIXEDFILEINFO fixed{};
  std::memcpy(&fixed, version.data() + at, sizeof fixed);
  EXPECT_EQ(fixed.dwProductVersionMS, static_cast<DWORD>(MAKELONG(2, 0)));
  EXPECT_EQ(fixed.dwProductVersionLS, 0u);
  EXPECT_EQ(fixed.dwFileType, static_cast<DWORD>(VFT_APP));
}

}  // namespace
}  // namespace quillmar
