# The setup program's start-up rules and its runs end to end.
qd_test(startup_tests LIBS qd_app SOURCES startup_tests.cpp)

# Runs the built QuillmarrowDunmirSetup.exe as its own process against a
# loopback server inside the test. Wine sees the build tree as drive Z:. The
# killed runs and the misbehaving server are CTest tests of their own
# (reliability.cmake).
qd_test(e2e_tests LIBS qd_release qd_test_server shell32 ole32 uuid advapi32
        SOURCES e2e_tests.cpp e2e_support.cpp ARGS --gtest_filter=-*Killed*:*Stopped*:*Misbehaving*)
target_compile_definitions(e2e_tests PRIVATE QD_SETUP_EXE="Z:$<TARGET_FILE:QuillmarrowDunmirSetup>")
add_dependencies(e2e_tests QuillmarrowDunmirSetup)
# Each case starts the setup program several times, at up to 2 s a start.
set_tests_properties(e2e_tests PROPERTIES TIMEOUT 900)
