# The setup program's life cycle, each run the built program as its own
# process against a loopback server, under a private Xvfb since some runs
# show the window and message boxes that the test answers.
add_executable(lifecycle_tests lifecycle_tests.cpp e2e_support.cpp)
target_link_libraries(lifecycle_tests PRIVATE qd_release qd_test_server shell32 ole32 uuid advapi32 GTest::gtest GTest::gtest_main)
target_include_directories(lifecycle_tests PRIVATE ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(lifecycle_tests PRIVATE QD_TEST_DATA="${QD_TEST_DATA}"
  QD_SETUP_EXE="Z:$<TARGET_FILE:QuillmarrowDunmirSetup>" QD_FAKE_GAME="Z:$<TARGET_FILE:fake_game>")
qd_strict(lifecycle_tests)
add_dependencies(lifecycle_tests QuillmarrowDunmirSetup fake_game)
add_test(NAME lifecycle_tests
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/xvfb-run-test.sh ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:lifecycle_tests>)
# The dripping server alone takes three minutes of the real stall rule.
set_tests_properties(lifecycle_tests PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${QD_WINE_ENV}" TIMEOUT 900)
