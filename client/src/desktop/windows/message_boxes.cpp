#include "desktop/windows/message_boxes.hpp"

#include "desktop/windows/wide_text.hpp"

namespace quillmar {

bool ask_yes_no(const MessageBoxCall& message_box, HWND owner, std::string_view text) {
  return message_box(owner, to_wide(text).c_str(), L"Quillmar", MB_ICONQUESTION | MB_YESNO) ==
         IDYES;
}

void show_info(const MessageBoxCall& message_box, HWND owner, std::string_view text) {
  message_box(owner, to_wide(text).c_str(), L"Quillmar", MB_ICONINFORMATION);
}

}  // namespace quillmar
