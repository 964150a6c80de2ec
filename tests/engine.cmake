# The loopback test server is a library of its own because every engine and
# end-to-end test serves its releases with it.
add_library(qd_test_server STATIC test_server.cpp)
target_include_directories(qd_test_server PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(qd_test_server PUBLIC ws2_32)
qd_strict(qd_test_server)
