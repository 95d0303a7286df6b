#include "desktop/windows/clipboard.hpp"

#include <cstring>
#include <string>

#include "desktop/windows/wide_text.hpp"

namespace quillmar {
namespace {

// Movable global memory holding the units and their terminating 0; null on failure.
HGLOBAL global_copy(const std::wstring& text) {
  const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
  if (memory == nullptr) return nullptr;
  void* locked = GlobalLock(memory);
  if (locked == nullptr) {
    GlobalFree(memory);
    return nullptr;
  }
  std::memcpy(locked, text.c_str(), bytes);
  GlobalUnlock(memory);
  return memory;
}

}  // namespace

void copy_to_clipboard(HWND window, std::string_view text) {
  std::wstring wide = to_wide(text);
  if (!OpenClipboard(window)) return;
  EmptyClipboard();
  if (HGLOBAL memory = global_copy(wide); memory != nullptr) {
    // The clipboard owns the memory once it took it; a refusal leaves it ours to free.
    if (SetClipboardData(CF_UNICODETEXT, memory) == nullptr) GlobalFree(memory);
  }
  CloseClipboard();
}

}  // namespace quillmar
