// The program main: start-up, the supervisor, and the exit code.
#pragma once

#include <string>
#include <vector>

namespace quillmar {

int run_client(const std::vector<std::string>& args);

}  // namespace quillmar
