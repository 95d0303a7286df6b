// What the user starts from the tray menu's install items and from the first-run offer;
// each reports through message boxes owned by the main window.
#pragma once

#include <windows.h>

#include "desktop/windows/message_boxes.hpp"

namespace quillmar {

void menu_install(HWND owner, const MessageBoxCall& message_box);
void toggle_desktop_link(HWND owner, const MessageBoxCall& message_box);
void toggle_autostart(HWND owner, const MessageBoxCall& message_box);

// Asked once (the shell settings remember that it was asked, whatever the answer) and
// never when the running program is the installed one: install, then a desktop shortcut
// and start at log-on on request.
void offer_first_run_install(HWND owner, const MessageBoxCall& message_box);

}  // namespace quillmar
