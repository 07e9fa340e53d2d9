# kestrel_library(<subsystem> SOURCES ... DEPENDS ...)
#   Defines the static library kestrel_<subsystem>; headers are included as "<subsystem>/<file>.h".
function(kestrel_library subsystem)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(kestrel_${subsystem} STATIC ${ARG_SOURCES})
  target_include_directories(kestrel_${subsystem} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(kestrel_${subsystem} PUBLIC ${ARG_DEPENDS})
endfunction()

# kestrel_test(<name> SOURCES ... DEPENDS ...)
#   One GoogleTest executable; every test case becomes its own CTest test.
#   Tests find the built programs and the source tree through these definitions.
function(kestrel_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPENDS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE kestrel_test_support ${ARG_DEPENDS} GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT ${ARG_TIMEOUT})
endfunction()

# kestrel_fuzzer(<name> SOURCES ... DEPENDS ...)
function(kestrel_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${ARG_DEPENDS})
  # A short run in the suite proves the target builds and survives its seeds.
  add_test(NAME fuzz.${name} COMMAND ${name} -runs=20000 -max_len=65536 ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${name})
  set_tests_properties(fuzz.${name} PROPERTIES TIMEOUT 300)
endfunction()
