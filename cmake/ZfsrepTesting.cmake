# zfsrep_add_gtest(NAME <name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>]
#                  [TESTBED] [TIMEOUT <seconds>])
#
# Labels in use:
#   unit         no root, no network; run plain and under ASan+UBSan
#   concurrency  multi-threaded stress; also run under TSan
#   e2e          needs the testbed (root, private mount namespace, sshd on loopback)
#
# TESTBED runs the binary through testbed/run-in-testbed.sh, which sets up the
# simulated appliance and skips (exit 77) loudly when it cannot.
# One precompiled header for every test program: Qt, the standard library
# and GoogleTest, built once and reused by each program.
if(ZFSREP_PCH)
  add_library(zfsrep_test_pch OBJECT ${PROJECT_SOURCE_DIR}/cmake/testpch.cpp)
  target_link_libraries(zfsrep_test_pch PRIVATE GTest::gtest Qt5::Core Threads::Threads)
  target_precompile_headers(zfsrep_test_pch PRIVATE ${zfsrep_pch_headers} <gtest/gtest.h>)
endif()

function(zfsrep_add_gtest)
  cmake_parse_arguments(T "TESTBED" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  # The simulator's own tests (no LIBS, or the simulator alone) stay free of
  # Qt; every other program shares the tests' precompiled header.
  if(ZFSREP_PCH AND T_LIBS AND NOT T_LIBS STREQUAL "zfssim")
    target_precompile_headers(${T_NAME} REUSE_FROM zfsrep_test_pch)
  endif()
  target_compile_definitions(${T_NAME} PRIVATE
    ZFSREP_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    ZFSREP_BINARY_DIR="${PROJECT_BINARY_DIR}")
  if(T_TESTBED)
    add_test(NAME ${T_NAME}
      COMMAND ${PROJECT_SOURCE_DIR}/testbed/run-in-testbed.sh $<TARGET_FILE:${T_NAME}>)
    set_tests_properties(${T_NAME} PROPERTIES SKIP_RETURN_CODE 77 RUN_SERIAL TRUE
      ENVIRONMENT "ZFSREP_BINARY_DIR=${PROJECT_BINARY_DIR}")
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  endif()
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
  if(T_TIMEOUT)
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  else()
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT 300)
  endif()
endfunction()
