# The setup window's tests, under a private Xvfb (xvfb-run-test.sh) since Wine
# can make a window only on an X display: the window procedure, painting and
# the controller inside the test process, and the built program's window road
# as its own process ("--snap" pictures).
add_executable(window_tests window_tests.cpp e2e_support.cpp)
target_link_libraries(window_tests PRIVATE qd_app qd_test_server gdiplus advapi32 GTest::gtest GTest::gtest_main)
target_include_directories(window_tests PRIVATE ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(window_tests PRIVATE QD_TEST_DATA="${QD_TEST_DATA}"
  QD_SETUP_EXE="Z:$<TARGET_FILE:QuillmarrowDunmirSetup>")
qd_strict(window_tests)
add_dependencies(window_tests QuillmarrowDunmirSetup)
add_test(NAME window_tests
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/gtest-run.sh ${CMAKE_CURRENT_SOURCE_DIR}/xvfb-run-test.sh
          ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:window_tests>)
# Each run of the built program takes up to 2 s to start.
set_tests_properties(window_tests PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${QD_WINE_ENV}" TIMEOUT 900)
