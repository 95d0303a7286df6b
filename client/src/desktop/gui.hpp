// The GUI thread: an operating-system thread of its own that never enters the
// asynchronous runtime. It talks to the rest only through SharedState, the key-file
// writers and the reload and exit channels.
#pragma once

#include <cstdint>
#include <string>

#include "settings/shared_state.hpp"

namespace quillmar {

struct GuiContext {
  std::string domain;
  SharedStatePtr shared;
  ReloadSender reload_tx;
  ExitSender exit_tx;
  std::uint16_t console_port = 0;
};

// Starts run_gui on a detached thread with a 2 MiB stack; a thread that cannot be
// created stops the program ("failed to spawn thread").
void start_gui_thread(GuiContext context);
// Windows: the hidden window with the tray icon and its message loop, until the window
// is destroyed. Elsewhere: opens the console and then stays, holding its channel ends.
void run_gui(GuiContext context);

// Waits until the console accepts a connection: at most 30 connects of 100 ms, 100 ms
// apart.
void wait_for_console(std::uint16_t console_port);
// "http://127.0.0.1:{port}/"
std::string console_url(std::uint16_t console_port);

}  // namespace quillmar
