#include "desktop/windows/shortcuts.hpp"

#include <windows.h>

#include <objidl.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <memory>
#include <string>
#include <system_error>

#include "desktop/shell_settings.hpp"
#include "desktop/windows/self_install.hpp"
#include "desktop/windows/wide_text.hpp"
#include "settings/file_io.hpp"

namespace quillmar {
namespace {

IoError other(std::string message) { return IoError::make(ErrorKind::Other, std::move(message)); }

std::string hresult_text(HRESULT result) { return std::to_string(static_cast<long>(result)); }

// A single-threaded COM apartment for the time of one shortcut write; only an
// initialisation of our own is undone (S_FALSE: this thread had one already).
class ComApartment {
 public:
  ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComApartment() {
    if (result_ == S_OK) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  HRESULT result() const { return result_; }

 private:
  HRESULT result_;
};

struct ReleaseCom {
  void operator()(IUnknown* object) const { object->Release(); }
};
template <class T>
using ComPtr = std::unique_ptr<T, ReleaseCom>;

bool describe_link(IShellLinkW& link, const std::wstring& program,
                   const std::wstring& working_dir) {
  return SUCCEEDED(link.SetPath(program.c_str())) &&
         SUCCEEDED(link.SetWorkingDirectory(working_dir.c_str())) &&
         SUCCEEDED(link.SetDescription(L"Quillmar")) &&
         SUCCEEDED(link.SetIconLocation(program.c_str(), 0));
}

}  // namespace

Status write_shortcut(const std::filesystem::path& link_path,
                      const std::filesystem::path& program) {
  std::error_code ec;
  std::filesystem::create_directories(link_path.parent_path(), ec);
  if (ec) return IoError::from(ec);
  const std::wstring& program_text = program.native();
  if (!is_valid_utf16(program_text)) return other("exe path is not UTF-8");
  const std::wstring working_dir = program.parent_path().native();
  if (!is_valid_utf16(link_path.native())) return other("shortcut path is not UTF-8");

  // Declared first, so it ends after every object made inside it.
  ComApartment apartment;
  if (FAILED(apartment.result()))
    return other("CoInitializeEx failed: " + hresult_text(apartment.result()));
  IShellLinkW* raw_link = nullptr;
  HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                    reinterpret_cast<void**>(&raw_link));
  ComPtr<IShellLinkW> link(raw_link);
  if (FAILED(result) || !link) return other("CoCreateInstance ShellLink: " + hresult_text(result));
  const bool described = describe_link(*link, program_text, working_dir);

  IPersistFile* raw_file = nullptr;
  result = link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&raw_file));
  ComPtr<IPersistFile> file(raw_file);
  if (FAILED(result) || !file) return other("QI IPersistFile: " + hresult_text(result));
  const bool saved = described && SUCCEEDED(file->Save(link_path.c_str(), TRUE));
  if (!saved) return other("failed to write .lnk");
  return {};
}

Status set_desktop_link(bool create) {
  if (!create) {
    auto link = desktop_link_path();
    if (!link) return {};  // no Desktop folder, so no link on it
    remove_file_quietly(link.value());
    return set_shell_ini_flag(SHELL_KEY_DESKTOP_SHORTCUT, false);
  }
  auto installed = install_self();
  if (!installed) return installed.error();
  auto link = desktop_link_path();
  if (!link) return link.error();
  if (auto written = write_shortcut(link.value(), installed.value()); !written) return written;
  return set_shell_ini_flag(SHELL_KEY_DESKTOP_SHORTCUT, true);
}

bool desktop_link_exists() {
  auto link = desktop_link_path();
  std::error_code ec;
  return link && std::filesystem::is_regular_file(link.value(), ec);
}

}  // namespace quillmar
