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
void run_gui(GuiContext context);

// Waits for the console (at most 30 connects of 100 ms, 100 ms apart), then opens
// "http://127.0.0.1:{port}/" in the browser whether or not it answered.
void wait_for_console_then_open(std::uint16_t console_port);

}  // namespace quillmar
