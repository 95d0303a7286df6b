# Test suites: natively every GoogleTest case is its own CTest test; under Wine each
# suite runs as a few shards (GoogleTest's own sharding), since every process start there
# costs a Wine start, yet one process per suite would run its cases one after another.
# Each shard writes its cases' results to test-results/<shard>.xml in the tests' build
# folder (a relative path: under Wine an absolute one would need a drive letter), so
# that cases, not shards, can be counted. Every test carries its suite's name as a
# label, so a stage can pick suites with `ctest -L`.
set(QUILLMAR_WINE_SHARDS 4 CACHE STRING "Shards of each test suite under Wine")

# TIMEOUT (default 120 s) is each test's limit; SERIAL runs the suite's tests one at a time
# and alone, for tests that measure processes or load the machine.
function(quillmar_add_test_suite name)
  cmake_parse_arguments(ARG "SERIAL" "TIMEOUT" "SOURCES;LIBRARIES" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} quillmar_test_main quillmar_flags)
  if(CMAKE_CROSSCOMPILING)
    math(EXPR last_shard "${QUILLMAR_WINE_SHARDS} - 1")
    foreach(shard RANGE ${last_shard})
      add_test(NAME ${name}_${shard} COMMAND ${name} WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
      set(results "GTEST_OUTPUT=xml:test-results/${name}_${shard}.xml")
      set_tests_properties(${name}_${shard} PROPERTIES TIMEOUT 180 LABELS ${name}
        ENVIRONMENT "GTEST_TOTAL_SHARDS=${QUILLMAR_WINE_SHARDS};GTEST_SHARD_INDEX=${shard};${results}")
    endforeach()
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
      PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS ${name} RUN_SERIAL ${ARG_SERIAL})
  endif()
endfunction()
