// The key file "id.ini": the device's credential and the settings that survive a
// restart. Every write replaces the file atomically (a temporary file renamed over
// it), and all read-rebuild-write operations of the process are serialised.
#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proto/result.hpp"

namespace quillmar {

inline constexpr std::string_view KEY_FILE_HEADER =
    "# Quillmar 设备凭据。删掉本文件 = 换一台新设备（原域名将不再归你）。";

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
// An existing file whose bytes would be replaced is first copied to "id.ini.bak"; a
// file that cannot even be copied is left alone (the fresh identity then lives only
// in the returned record).
Creds load_creds(std::filesystem::path key_path);
// Rewrites the file keeping the lines other writers own; reports nothing.
void save_creds(const Creds& creds);
// load_creds, then change (which returns whether the record is to be saved), then
// save_creds, all under one hold of the key file's lock: a line another thread wrote
// between the load and the save is not put back as it was. Returns the record as
// change left it.
Creds update_creds(std::filesystem::path key_path, const std::function<bool(Creds&)>& change);

// The record a key file's text holds (later lines override earlier ones); the token
// as it stands, valid or not.
Creds parse_creds(std::filesystem::path key_path, std::string_view text);
// The file save_creds writes: header, the record's own lines, then the lines of the
// old text that other writers own, in their order (without an old text: the record's
// direct-connection lists in their place).
std::string creds_text(const Creds& creds, const std::optional<std::string>& old_text);

// 16 to 64 characters, each a digit or 'a' to 'f'.
bool is_valid_token(std::string_view token);

// For the key-file writers: the one lock that every read-rebuild-write of a key file
// in this process holds from its read to its write, so concurrent writers (main
// thread, console workers, GUI thread) never drop each other's lines. Never held
// while waiting for anything but the file itself.
std::unique_lock<std::mutex> lock_key_file();
// The file as UTF-8 text, a leading byte-order mark (left by some editors) dropped.
Result<std::string> read_key_text(const std::filesystem::path& key_path);
// Replaces the file whole through "id.ini.tmp" beside it.
Status write_key_text(const std::filesystem::path& key_path, std::string_view text);
// Deletes the temporary copies that a write cut off by a kill left beside the key file
// and its backup: each holds the credential.
void remove_key_file_leftovers(const std::filesystem::path& key_path);
// The file's lines: cut at "\n", a "\r" before it dropped; the empty rest after a
// final "\n" is no line.
std::vector<std::string_view> key_file_lines(std::string_view text);
// The text before the first "=" (the whole line without one), trimmed.
std::string_view line_key(std::string_view line);

}  // namespace quillmar
