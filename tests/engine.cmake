# The engine's Windows tests. The loopback test server is a library of its own
# because every later engine and end-to-end test serves its releases with it.
add_library(qd_test_server STATIC test_server.cpp)
target_include_directories(qd_test_server PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(qd_test_server PUBLIC ws2_32)
qd_strict(qd_test_server)

qd_test(engine_tests LIBS qd_engine qd_test_server
  SOURCES engine_helpers_tests.cpp engine_status_tests.cpp http_client_tests.cpp)

# HTTPS needs a certificate authority and a TLS server outside the test
# program: https-test.sh makes both, then runs https_tests under Wine.
add_executable(https_tests https_tests.cpp)
target_link_libraries(https_tests PRIVATE qd_engine crypt32 GTest::gtest GTest::gtest_main)
target_include_directories(https_tests PRIVATE ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
qd_strict(https_tests)
add_test(NAME https_tests
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/https-test.sh $<TARGET_FILE:https_tests> ${CMAKE_CURRENT_BINARY_DIR}/https)
set_tests_properties(https_tests PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${QD_WINE_ENV}")
