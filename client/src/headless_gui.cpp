// The GUI thread without a tray: it opens the console in the browser and ends. The
// exit sender it holds is released unused; the supervisor keeps one of its own.
#include "gui.hpp"

namespace quillmar {

void run_gui(GuiContext context) { wait_for_console_then_open(context.console_port); }

}  // namespace quillmar
