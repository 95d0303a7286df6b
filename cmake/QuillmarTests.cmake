# Test suites: natively every GoogleTest case is its own CTest test; under Wine each
# suite runs as one test, since every process start there costs a Wine start. Every test
# carries its suite's name as a label, so a stage can pick suites with `ctest -L`.

function(quillmar_add_test_suite name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES} quillmar_test_main quillmar_flags)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT 600 LABELS ${name})
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120 LABELS ${name})
  endif()
endfunction()
