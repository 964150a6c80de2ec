qd_test(release_tests LIBS qd_release SOURCES release_tests.cpp)
