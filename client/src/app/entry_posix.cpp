// Program entry on Linux: the arguments are taken as given (as UTF-8 text).
#include "app/command_line.hpp"
#include "app/run_client.hpp"

int main(int argc, char** argv) {
  return quillmar::run_client(quillmar::args_from_argv(argc, argv));
}
