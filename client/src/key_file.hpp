// The key file "id.ini": the device's credential and the settings that survive a
// restart. Every write replaces the file atomically (a temporary file renamed over
// it), and all read-rebuild-write operations of the process are serialised.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quillmar {

struct Creds {
  std::filesystem::path key_path;
  std::string token;
  std::vector<std::string> punch;
  std::string visit;
  std::string invite;
  std::string gw_pin;
  std::optional<std::string> sub;
  bool has_punch_line = false;
  bool has_visit_line = false;
};

// Never fails: a missing or unusable file or token becomes a fresh identity, saved.
Creds load_creds(std::filesystem::path key_path);
// Rewrites the file keeping the lines other writers own; reports nothing.
void save_creds(const Creds& creds);

}  // namespace quillmar
