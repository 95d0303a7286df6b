# Writes a C++ source that holds the console's page and icon as constant bytes, so the
# program never reads them from disk. Run as a build step:
#   cmake -DPAGE=<html> -DICON=<png> -DOUT=<cpp> -DPAGE_OUT=<html>
#         -DDEFAULT_DOMAIN=<domain> -DSITE_HOST=<host> -P embed_assets.cmake
#
# The page names the deployment's public base domain and web-site host only through the
# placeholders @QUILLMAR_DEFAULT_DOMAIN@ and @QUILLMAR_SITE_HOST@; they are replaced here
# and the finished page is written to PAGE_OUT, the file the embedded bytes come from.

function(byte_array file out_var)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # Sixteen bytes per line keep the generated file readable (CMake's regular
  # expressions have no counted repetition, so the pattern is spelled out).
  set(line_pattern "")
  foreach(i RANGE 15)
    string(APPEND line_pattern "0x[0-9a-f][0-9a-f],")
  endforeach()
  string(REGEX REPLACE "(${line_pattern})" "\\1\n    " bytes "${bytes}")
  set(${out_var} "${bytes}" PARENT_SCOPE)
  set(${out_var}_SIZE "${size}" PARENT_SCOPE)
endfunction()

# Both values land in HTML text, attributes and script strings: only host names (with an
# optional port) are accepted, so that no setting can break out of those.
foreach(setting DEFAULT_DOMAIN SITE_HOST)
  if(NOT "${${setting}}" MATCHES "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?(:[0-9]+)?$")
    message(FATAL_ERROR "QUILLMAR_${setting} '${${setting}}' is not a host name")
  endif()
endforeach()

file(READ "${PAGE}" page_text)
string(REPLACE "@QUILLMAR_DEFAULT_DOMAIN@" "${DEFAULT_DOMAIN}" page_text "${page_text}")
string(REPLACE "@QUILLMAR_SITE_HOST@" "${SITE_HOST}" page_text "${page_text}")
if(page_text MATCHES "@QUILLMAR_[A-Z_]*@")
  message(FATAL_ERROR "${PAGE} holds the unknown placeholder ${CMAKE_MATCH_0}")
endif()
file(WRITE "${PAGE_OUT}" "${page_text}")

byte_array("${PAGE_OUT}" page)
byte_array("${ICON}" icon)

# A trailing zero keeps each array non-empty; the sizes say how many bytes count.
set(text "// Generated from client/assets by embed_assets.cmake; do not edit.
#include \"console/assets.hpp\"

#include <cstddef>

namespace quillmar {
namespace {

constexpr unsigned char PAGE_BYTES[] = {
    ${page}0x00};
constexpr std::size_t PAGE_SIZE = ${page_SIZE};

constexpr unsigned char ICON_BYTES[] = {
    ${icon}0x00};
constexpr std::size_t ICON_SIZE = ${icon_SIZE};

}  // namespace

std::string_view console_page_bytes() { return {reinterpret_cast<const char*>(PAGE_BYTES), PAGE_SIZE}; }
std::string_view console_icon_bytes() { return {reinterpret_cast<const char*>(ICON_BYTES), ICON_SIZE}; }

}  // namespace quillmar
")

file(WRITE "${OUT}" "${text}")
