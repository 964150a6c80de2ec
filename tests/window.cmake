# The setup window's tests. Wine can make a window only on an X display, so
# each of these test programs runs under a private Xvfb (xvfb-run-test.sh).
# They share one lock because one of them changes the prefix's screen scale
# for the programs it starts.
function(qd_window_test name)
  cmake_parse_arguments(T "" "" "LIBS;SOURCES" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE QD_TEST_DATA="${QD_TEST_DATA}")
  qd_strict(${name})
  add_test(NAME ${name}
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/xvfb-run-test.sh ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${name}>)
  set_tests_properties(${name} PROPERTIES
    FIXTURES_REQUIRED wine ENVIRONMENT "${QD_WINE_ENV}" RESOURCE_LOCK qd_window_screen)
endfunction()

# Painting, the window procedure and the controller inside the test process,
# on real windows, with the real engine against the loopback server.
qd_window_test(window_ui_tests LIBS qd_app qd_test_server
  SOURCES window_paint_tests.cpp window_controller_tests.cpp)

# The built program's window road as its own process: "--snap" pictures,
# unattended runs and runs driven like a user. The stand-in game is the
# engine tests' fake_game, which reports how it was started.
if(TARGET fake_game)
  qd_window_test(window_run_tests LIBS qd_release qd_test_server gdiplus advapi32
    SOURCES window_run_tests.cpp)
  target_compile_definitions(window_run_tests PRIVATE
    QD_SETUP_EXE="Z:$<TARGET_FILE:QuillmarrowDunmirSetup>"
    QD_FAKE_GAME="Z:$<TARGET_FILE:fake_game>")
  add_dependencies(window_run_tests QuillmarrowDunmirSetup fake_game)
  # Every case starts the setup program, at up to 2 s a start.
  set_tests_properties(window_run_tests PROPERTIES TIMEOUT 900)
endif()
