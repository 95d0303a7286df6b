# Compiler flags, Asio and OpenSSL for both targets: the native Linux build and the
# mingw-w64 cross build of the Windows product.

add_library(quillmar_flags INTERFACE)
target_compile_options(quillmar_flags INTERFACE -Wall -Wextra)
# GCC 12 at -O2 inlines Asio's coroutine frame allocator (a class operator new over
# ::operator new with a recycling cache) and then reports its matching operator delete as
# "mismatched" at the end of every awaitable function. ASan checks real mismatches.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(quillmar_flags INTERFACE -Wno-mismatched-new-delete)
endif()
if(QUILLMAR_WERROR)
  target_compile_options(quillmar_flags INTERFACE -Werror)
  # GCC 12 reports "may be used uninitialized" for shared_ptr members of aggregates
  # (designated initializers, arrays of cases) once inlining at -O2 sees their destructors;
  # the reports differ between optimisation levels and are not errors in our code. They
  # stay warnings; -Wuninitialized, the certain form, stays an error.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(quillmar_flags INTERFACE -Wno-error=maybe-uninitialized)
  endif()
endif()

find_package(Threads REQUIRED)

# The Windows programs are linked fully static (C++ runtime, threads, OpenSSL): they need
# no DLL beside them, under Wine or on Windows. The Linux programs take the C++ runtime
# and OpenSSL in as well (the C library stays shared, for name resolution): linked in,
# only the parts a program uses are loaded, and the loader reads and relocates no symbol
# tables of theirs, which keeps 2 to 2.5 MiB out of the client's resident memory. Not
# under a sanitizer, whose runtime must replace operator new and delete: a libstdc++
# linked in would define them in the program itself.
if(CMAKE_CROSSCOMPILING)
  add_link_options(-static)
elseif(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  add_link_options(-static-libstdc++ -static-libgcc)
endif()

# Asio is header-only. The cross compiler does not search /usr/include, so it gets a
# folder of links to the system's Asio headers and nothing else.
add_library(quillmar_asio INTERFACE)
if(CMAKE_CROSSCOMPILING)
  set(asio_links ${CMAKE_BINARY_DIR}/asio-include)
  file(MAKE_DIRECTORY ${asio_links})
  file(CREATE_LINK /usr/include/asio ${asio_links}/asio SYMBOLIC)
  file(CREATE_LINK /usr/include/asio.hpp ${asio_links}/asio.hpp SYMBOLIC)
  target_include_directories(quillmar_asio SYSTEM INTERFACE ${asio_links})
  target_compile_definitions(quillmar_asio INTERFACE _WIN32_WINNT=0x0A00 WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE)
  target_link_libraries(quillmar_asio INTERFACE ws2_32 mswsock)
endif()
# Every translation unit that includes Asio sees the same configuration: the tests and
# the test helpers too, not only our libraries. Asio 1.22 detects coroutine support for
# GCC only; clang 14 has it as well.
target_compile_definitions(quillmar_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)
# Asio keeps two freed coroutine frames per thread for reuse. A request passes through a
# dozen nested coroutines, so most frames went back to malloc and came from it again:
# with sixteen kept, the client runs about a tenth fewer instructions per small request.
target_compile_definitions(quillmar_asio INTERFACE ASIO_RECYCLING_ALLOCATOR_CACHE_SIZE=16)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  target_compile_definitions(quillmar_asio INTERFACE ASIO_HAS_CO_AWAIT)
endif()
target_link_libraries(quillmar_asio INTERFACE Threads::Threads)

# OpenSSL, linked static: on Linux the system's (libssl-dev), on Windows the mingw build
# that scripts/setup makes from Debian's own source package (OPENSSL_ROOT_DIR points at
# it).
set(OPENSSL_USE_STATIC_LIBS TRUE)
find_package(OpenSSL 3 REQUIRED)
add_library(quillmar_openssl INTERFACE)
target_link_libraries(quillmar_openssl INTERFACE OpenSSL::SSL OpenSSL::Crypto)
if(CMAKE_CROSSCOMPILING)
  target_link_libraries(quillmar_openssl INTERFACE crypt32 ws2_32 gdi32 user32 advapi32 bcrypt)
endif()
