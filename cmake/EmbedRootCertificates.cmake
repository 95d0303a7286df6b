# Writes a C++ source with the DER bytes of every certificate in the *.crt files of a
# folder, so the program carries its trust anchors and never reads a system store.
# Run as a script:
#   cmake -DROOTS_DIR=<folder of PEM .crt files> -DOUTPUT=<file.cpp> -P EmbedRootCertificates.cmake
#
# CMake has no Base64 decoder. Two Base64 characters carry exactly 12 bits, which are
# three hexadecimal digits, so a table of all 4096 character pairs turns the text into
# hexadecimal without any arithmetic per character.

cmake_minimum_required(VERSION 3.25)

if(NOT ROOTS_DIR OR NOT OUTPUT)
  message(FATAL_ERROR "EmbedRootCertificates: ROOTS_DIR and OUTPUT are required")
endif()

set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
set(hex_digits "0123456789abcdef")
foreach(hi RANGE 63)
  string(SUBSTRING "${alphabet}" ${hi} 1 first)
  foreach(lo RANGE 63)
    string(SUBSTRING "${alphabet}" ${lo} 1 second)
    math(EXPR value "(${hi} << 6) | ${lo}")
    math(EXPR d0 "${value} >> 8")
    math(EXPR d1 "(${value} >> 4) & 15")
    math(EXPR d2 "${value} & 15")
    string(SUBSTRING "${hex_digits}" ${d0} 1 h0)
    string(SUBSTRING "${hex_digits}" ${d1} 1 h1)
    string(SUBSTRING "${hex_digits}" ${d2} 1 h2)
    set("pair_${first}${second}" "${h0}${h1}${h2}")
  endforeach()
endforeach()

# Base64 text (no white space) to a string of hexadecimal digits.
function(base64_to_hex text out_var context)
  string(LENGTH "${text}" length)
  math(EXPR rest "${length} % 4")
  if(length EQUAL 0 OR NOT rest EQUAL 0 OR NOT text MATCHES "^[A-Za-z0-9+/]+(=|==)?$")
    message(FATAL_ERROR "EmbedRootCertificates: bad Base64 in ${context}")
  endif()
  set(drop 0)
  if(text MATCHES "==$")
    set(drop 4)
  elseif(text MATCHES "=$")
    set(drop 2)
  endif()
  string(REPLACE "=" "A" text "${text}")
  set(hex "")
  math(EXPR last "${length} - 2")
  foreach(pos RANGE 0 ${last} 2)
    string(SUBSTRING "${text}" ${pos} 2 pair)
    string(APPEND hex "${pair_${pair}}")
  endforeach()
  string(LENGTH "${hex}" hex_length)
  math(EXPR hex_length "${hex_length} - ${drop}")
  string(SUBSTRING "${hex}" 0 ${hex_length} hex)
  set(${out_var} "${hex}" PARENT_SCOPE)
endfunction()

file(GLOB crt_files LIST_DIRECTORIES false "${ROOTS_DIR}/*.crt")
list(SORT crt_files)
if(NOT crt_files)
  message(FATAL_ERROR "EmbedRootCertificates: no .crt files in ${ROOTS_DIR}")
endif()

set(arrays "")
set(table "")
set(index 0)
foreach(crt IN LISTS crt_files)
  file(READ "${crt}" pem)
  get_filename_component(name "${crt}" NAME)
  string(REGEX MATCHALL "-----BEGIN CERTIFICATE-----[^-]*-----END CERTIFICATE-----" sections "${pem}")
  if(NOT sections)
    message(FATAL_ERROR "EmbedRootCertificates: no certificate in ${crt}")
  endif()
  foreach(section IN LISTS sections)
    string(REGEX REPLACE "-----(BEGIN|END) CERTIFICATE-----" "" body "${section}")
    string(REGEX REPLACE "[ \t\r\n]" "" body "${body}")
    base64_to_hex("${body}" hex "${crt}")
    string(REGEX REPLACE "(..)" "0x\\1," bytes "${hex}")
    # 16 bytes (80 characters) per line keeps the generated file readable.
    string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n    " bytes "${bytes}")
    string(APPEND arrays "constexpr std::uint8_t ROOT_${index}[] = {\n    ${bytes}\n};\n")
    string(REPLACE "\\" "\\\\" quoted_name "${name}")
    string(REPLACE "\"" "\\\"" quoted_name "${quoted_name}")
    string(APPEND table "    {\"${quoted_name}\", ROOT_${index}},\n")
    math(EXPR index "${index} + 1")
  endforeach()
endforeach()

string(REPLACE "\\" "\\\\" quoted_dir "${ROOTS_DIR}")
string(REPLACE "\"" "\\\"" quoted_dir "${quoted_dir}")
set(content "// Generated at build time from the certificates in ${ROOTS_DIR}; do not edit.
#include \"proto/builtin_roots.hpp\"

namespace quillmar {
namespace {

${arrays}
constexpr BuiltinRoot ROOTS[] = {
${table}};

}  // namespace

std::span<const BuiltinRoot> builtin_roots() { return ROOTS; }
std::string_view builtin_roots_folder() { return \"${quoted_dir}\"; }

}  // namespace quillmar
")

# Rewrite only on change, so an unchanged set does not recompile.
set(existing "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" existing)
endif()
if(NOT existing STREQUAL content)
  file(WRITE "${OUTPUT}" "${content}")
endif()
