# The fuzz build: libFuzzer's coverage instrumentation, AddressSanitizer and
# UndefinedBehaviorSanitizer on every library, so that the fuzz targets (tests/fuzz)
# reach into instrumented code. Clang only.
if(QUILLMAR_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "QUILLMAR_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++)")
  endif()
  # clang 14 cannot emit the function-type checks for coroutine frames: without
  # -fno-sanitize=function the build fails with "Cannot represent a difference across
  # sections".
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize=function
                      -fno-sanitize-recover=undefined -fno-omit-frame-pointer
                      -O1 -gline-tables-only)
  add_link_options(-fsanitize=address,undefined)
endif()
