# The whole program under stress: killed at moments across its runs, against
# a misbehaving server, and given signed manifests that try to escape the
# install folder. Each program is one CTest test that starts the built
# QuillmarrowDunmirSetup.exe many times, at up to 2 s a start.
function(qd_reliability_test name)
  qd_test(${name} LIBS qd_release qd_test_server advapi32 shell32 ole32
          SOURCES ${name}.cpp e2e_support.cpp)
  target_compile_definitions(${name} PRIVATE QD_SETUP_EXE="Z:$<TARGET_FILE:QuillmarrowDunmirSetup>")
  add_dependencies(${name} QuillmarrowDunmirSetup)
  set_tests_properties(${name} PROPERTIES TIMEOUT 900)
endfunction()

qd_reliability_test(crash_tests)
qd_reliability_test(hostile_server_tests)
qd_reliability_test(hostile_manifest_tests)

# The up-to-date check of 20,000 files, trusting the record and with
# "--repair" (scripts/bench.sh); a benchmark, not a test.
add_executable(check_bench bench/check_bench.cpp)
target_link_libraries(check_bench PRIVATE qd_engine qd_test_server GTest::gtest)
target_include_directories(check_bench PRIVATE ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(check_bench PRIVATE QD_TEST_DATA="${QD_TEST_DATA}")
qd_strict(check_bench)
