#include "run_client.hpp"

#include <algorithm>

#include "output.hpp"
#include "version.hpp"

namespace quillmar {

int run_client(const std::vector<std::string>& args) {
  if (std::find(args.begin(), args.end(), "--version") != args.end()) {
    print_out(VERSION_LINE);
    return 0;
  }
  return 0;
}

}  // namespace quillmar
