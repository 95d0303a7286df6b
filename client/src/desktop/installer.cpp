#include "desktop/installer.hpp"

#include <system_error>

#include "app/environment.hpp"
#include "app/output.hpp"
#include "settings/file_io.hpp"

namespace quillmar {

Status install_to_dir(std::string_view folder, bool force) {
  auto program = current_executable_path();
  if (!program) return program.error();
  return install_program_to_dir(program.value(), folder, force);
}

Status install_program_to_dir(const std::filesystem::path& program, std::string_view folder,
                              bool force) {
  auto name = program.filename();
  if (name.empty()) {
    return IoError::make(ErrorKind::InvalidInput, path_to_utf8(program) + " 没有文件名，装不了");
  }
  auto destination = path_from_utf8(folder) / path_from_utf8(path_to_utf8(name));

  std::error_code ec;
  // Any error reading the destination's metadata counts as "not there": the copy
  // below then reports what is really wrong.
  if (std::filesystem::exists(std::filesystem::status(destination, ec)) && !force) {
    return IoError::make(ErrorKind::AlreadyExists,
                         path_to_utf8(destination) + " 已存在（要覆盖就加 --force）");
  }

  auto temp = destination;
  temp += ".new";
  if (auto copied = copy_file_replacing(program, temp); !copied) {
    return IoError::make(copied.error().kind,
                         "copy → " + path_to_utf8(temp) + " 失败：" + copied.error().display());
  }
  if (auto renamed = rename_replacing(temp, destination); !renamed) {
    remove_file_quietly(temp);
    return renamed;
  }
  print_out("已安装 " + path_to_utf8(destination) + "\n");
  return {};
}

}  // namespace quillmar
