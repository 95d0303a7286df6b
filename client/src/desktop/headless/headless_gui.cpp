// The GUI thread where there is no tray (Linux): it waits for the console, opens it in
// the browser and then stays, as the window's message loop would, holding its channel
// ends for the life of the process. It never sends on the exit channel, so only Ctrl-C
// ends the program.
#include <condition_variable>
#include <mutex>

#include "desktop/gui.hpp"
#include "desktop/open_browser.hpp"

namespace quillmar {

void run_gui(GuiContext context) {
  wait_for_console(context.console_port);
  open_browser(console_url(context.console_port));
  std::mutex mutex;
  std::condition_variable never_notified;
  std::unique_lock lock(mutex);
  for (;;) never_notified.wait(lock);
}

}  // namespace quillmar
