# Test suites: natively every GoogleTest case is its own CTest test, unless
# QUILLMAR_TEST_SHARDS asks for each suite to run as that many shards (GoogleTest's own
# sharding). Under Wine suites always run as shards, since every process start there
# costs a Wine start, yet one process per suite would run its cases one after another;
# the sanitizer builds ask for shards too, since there each start of a test program of
# a few hundred MiB costs about a second. Each shard writes its cases' results to
# test-results/<shard>.xml in the tests' build folder (a relative path: under Wine an
# absolute one would need a drive letter), so that cases, not shards, can be counted.
# Every test carries its suite's name as a label, so a stage can pick suites with
# `ctest -L`.
if(CMAKE_CROSSCOMPILING)
  set(default_shards 4)
else()
  set(default_shards 0)
endif()
set(QUILLMAR_TEST_SHARDS ${default_shards} CACHE STRING
  "Shards of each test suite (0: one test per case; not possible under Wine)")

# The test programs' own sources are two thirds of a Release build's compile time, and at
# -O1 they compile in about 70% of the time -O2 takes; the code under test keeps the
# build's level.
function(quillmar_test_optimization target)
  target_compile_options(${target} PRIVATE $<$<CONFIG:Release>:-O1>)
endfunction()

function(quillmar_add_test_suite name)
  cmake_parse_arguments(ARG "SERIAL" "TIMEOUT" "SOURCES;LIBRARIES" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} quillmar_test_main quillmar_flags)
  quillmar_test_optimization(${name})
  if(QUILLMAR_TEST_SHARDS GREATER 0 AND NOT ARG_SERIAL)
    math(EXPR last_shard "${QUILLMAR_TEST_SHARDS} - 1")
    foreach(shard RANGE ${last_shard})
      add_test(NAME ${name}_${shard} COMMAND ${name} WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/tests)
      set(results "GTEST_OUTPUT=xml:test-results/${name}_${shard}.xml")
      set_tests_properties(${name}_${shard} PROPERTIES TIMEOUT 300 LABELS ${name}
        ENVIRONMENT "GTEST_TOTAL_SHARDS=${QUILLMAR_TEST_SHARDS};GTEST_SHARD_INDEX=${shard};${results}")
    endforeach()
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
      PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS ${name} RUN_SERIAL ${ARG_SERIAL})
  endif()
endfunction()
