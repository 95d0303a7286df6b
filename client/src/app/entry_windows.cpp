// Program entry on Windows (GUI subsystem): the command line is split by the Windows
// rules before it reaches the same parser as on Linux.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "app/command_line.hpp"
#include "app/run_client.hpp"

namespace {

// The program's lines end in "\n" on every system: a redirected stream is switched out
// of text mode, which would write "\r\n". A stream that is not redirected (no console
// under the GUI subsystem) has no descriptor and is left alone.
void write_standard_streams_as_bytes() {
  for (std::FILE* stream : {stdout, stderr}) {
    int descriptor = _fileno(stream);
    if (descriptor >= 0) _setmode(descriptor, _O_BINARY);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  write_standard_streams_as_bytes();
  return quillmar::run_client(quillmar::split_windows_command_line(GetCommandLineW()));
}
