# The whole program under stress, from the end-to-end test program: killed at
# moments across its runs, and against a misbehaving server. Each starts the
# built QuillmarrowDunmirSetup.exe many times, at up to 2 s a start.
add_test(NAME crash_tests COMMAND ${QD_GTEST_RUN} $<TARGET_FILE:e2e_tests> --gtest_filter=*Killed*:*Stopped*)
add_test(NAME hostile_server_tests COMMAND ${QD_GTEST_RUN} $<TARGET_FILE:e2e_tests> --gtest_filter=*Misbehaving*)
set_tests_properties(crash_tests hostile_server_tests PROPERTIES
  FIXTURES_REQUIRED wine ENVIRONMENT "${QD_WINE_ENV}" TIMEOUT 900)
