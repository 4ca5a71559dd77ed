# GoogleTest programs of the host build.
find_package(GTest REQUIRED)
include(GoogleTest)

# GoogleTest's header, precompiled once for every test program: it is most of
# what a test source parses. The programs reuse it, so they share its flags
# (the sanitizers, -O0); GCC refuses a header built with others (-Winvalid-pch
# and -Werror make that an error, never a silent slow-down).
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/gtest_pch.cpp CONTENT "")
add_library(gtest_pch OBJECT ${CMAKE_BINARY_DIR}/gtest_pch.cpp)
target_link_libraries(gtest_pch PRIVATE GTest::gtest)
target_compile_options(gtest_pch PRIVATE -Wall -Wextra -Werror ${TEST_COMPILE_OPTIONS})
target_precompile_headers(gtest_pch PRIVATE <gtest/gtest.h>)

# test_program(NAME SOURCES...): a GoogleTest program, built by `make test`.
# Its sources are compiled in batches of up to eight as one translation unit
# each: the headers and the code GoogleTest's macros expand to are compiled
# once per batch instead of once per source (about half the compile time).
# A source that cannot share a batch sets SKIP_UNITY_BUILD_INCLUSION.
function(test_program name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main)
  # In a batch every source is an included file, which GCC checks as a
  # header: a fixture in a source's anonymous namespace is no fault there.
  target_compile_options(${name} PRIVATE -Wall -Wextra -Werror -Wno-subobject-linkage ${TEST_COMPILE_OPTIONS})
  target_precompile_headers(${name} REUSE_FROM gtest_pch)
  set_target_properties(${name} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 8)
  add_dependencies(test-build ${name})
endfunction()
