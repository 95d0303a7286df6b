// Program entry on Windows (GUI subsystem): the command line is split by the Windows
// rules before it reaches the same parser as on Linux.
#include <windows.h>

#include "command_line.hpp"
#include "run_client.hpp"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return quillmar::run_client(quillmar::split_windows_command_line(GetCommandLineW()));
}
