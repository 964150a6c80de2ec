# The setup program's start-up rules, its runs end to end, and the tools that
# make demo releases.
qd_test(startup_tests LIBS qd_app SOURCES startup_tests.cpp)

# Runs the built QuillmarrowDunmirSetup.exe as its own process against a
# loopback server inside the test. Wine sees the build tree as drive Z:.
qd_test(e2e_tests LIBS qd_release qd_test_server shell32 ole32 uuid advapi32
        SOURCES e2e_tests.cpp e2e_support.cpp)
target_compile_definitions(e2e_tests PRIVATE
  QD_SETUP_EXE="Z:$<TARGET_FILE:QuillmarrowDunmirSetup>")
add_dependencies(e2e_tests QuillmarrowDunmirSetup)
# Each case starts the setup program several times, at up to 2 s a start.
set_tests_properties(e2e_tests PROPERTIES TIMEOUT 900)

# Publishes a folder as a signed release (latest.manifest and files/<hash>).
add_executable(make_release tools/make_release.cpp)
target_link_libraries(make_release PRIVATE qd_release)
target_include_directories(make_release PRIVATE ${PROJECT_SOURCE_DIR})
qd_strict(make_release)

# The tiny game program of the demo releases.
add_executable(demo_game tools/demo_game.cpp)
qd_strict(demo_game)
