// Questions and notices to the user: modal message boxes captioned "Quillmar", owned by
// the hidden main window. They all go through one MessageBoxCall, MessageBoxW itself
// unless a test answers in its place.
#pragma once

#include <windows.h>

#include <functional>
#include <string_view>

namespace quillmar {

using MessageBoxCall = std::function<int(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)>;

// True exactly when the answer is Yes.
bool ask_yes_no(const MessageBoxCall& message_box, HWND owner, std::string_view text);
void show_info(const MessageBoxCall& message_box, HWND owner, std::string_view text);

}  // namespace quillmar
