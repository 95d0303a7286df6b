# Cross build of the Windows product with mingw-w64 (posix threads); tests run under Wine.
#
# OpenSSL comes from the static mingw build that scripts/setup makes in its cache folder.
# scripts/test passes -DOPENSSL_ROOT_DIR=<cache>/openssl-mingw; without it the same
# folders scripts/setup would use are looked at.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT OPENSSL_ROOT_DIR)
  if(DEFINED ENV{OPENSSL_ROOT_DIR})
    set(OPENSSL_ROOT_DIR "$ENV{OPENSSL_ROOT_DIR}")
  else()
    set(candidates /var/cache/quillmar/openssl-mingw)
    if(DEFINED ENV{QUILLMAR_CACHE})
      list(PREPEND candidates "$ENV{QUILLMAR_CACHE}/openssl-mingw")
    endif()
    if(DEFINED ENV{XDG_CACHE_HOME})
      list(APPEND candidates "$ENV{XDG_CACHE_HOME}/quillmar/openssl-mingw")
    endif()
    if(DEFINED ENV{HOME})
      list(APPEND candidates "$ENV{HOME}/.cache/quillmar/openssl-mingw")
    endif()
    foreach(candidate IN LISTS candidates)
      if(EXISTS "${candidate}/lib/libssl.a")
        set(OPENSSL_ROOT_DIR "${candidate}")
        break()
      endif()
    endforeach()
  endif()
endif()
if(OPENSSL_ROOT_DIR)
  set(OPENSSL_ROOT_DIR "${OPENSSL_ROOT_DIR}" CACHE PATH "Static OpenSSL 3 built for mingw-w64")
endif()
set(OPENSSL_USE_STATIC_LIBS TRUE)
# try_compile projects read this file again; let them see the same OpenSSL.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OPENSSL_ROOT_DIR)

# Libraries and headers only from the mingw sysroot and the OpenSSL build; programs
# (windres, wine) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${OPENSSL_ROOT_DIR})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR wine)
