// Program entry on Linux: the arguments are taken as given.
#include <string>
#include <vector>

#include "run_client.hpp"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  return quillmar::run_client(args);
}
