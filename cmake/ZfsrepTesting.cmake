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
function(zfsrep_add_gtest)
  cmake_parse_arguments(T "TESTBED" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
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
