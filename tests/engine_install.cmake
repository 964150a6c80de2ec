# The install engine's second half under Wine: check, apply, registration and
# game start, against the loopback test server, real files, the prefix's
# registry and its shell folders.

# Stands in for the game: reports how it was started.
add_executable(fake_game fake_game.cpp)
qd_strict(fake_game)

qd_test(engine_install_tests LIBS qd_engine qd_test_server SOURCES install_tests.cpp)
add_dependencies(engine_install_tests fake_game)
target_compile_definitions(engine_install_tests PRIVATE QD_FAKE_GAME="Z:$<TARGET_FILE:fake_game>")

# The free-space test wants a drive that is really small: an 8 MiB tmpfs seen
# by the prefix as Q:. Without permission to mount, Q: stays absent and the
# test skips itself.
set(qd_small_disk ${CMAKE_BINARY_DIR}/small-disk)
add_test(NAME engine_install_disk_up COMMAND sh -c
  "mkdir -p '${qd_small_disk}' && { mountpoint -q '${qd_small_disk}' || mount -t tmpfs -o size=8m tmpfs '${qd_small_disk}'; } && ln -sfn '${qd_small_disk}' '${QD_WINEPREFIX}/dosdevices/q:' || echo 'tmpfs not mounted: the free-space test will skip'; exit 0")
add_test(NAME engine_install_disk_down COMMAND sh -c
  "rm -f '${QD_WINEPREFIX}/dosdevices/q:'; mountpoint -q '${qd_small_disk}' && umount '${qd_small_disk}'; exit 0")
set_tests_properties(engine_install_disk_up PROPERTIES FIXTURES_SETUP install_disk FIXTURES_REQUIRED wine)
set_tests_properties(engine_install_disk_down PROPERTIES FIXTURES_CLEANUP install_disk FIXTURES_REQUIRED wine)
set_tests_properties(engine_install_tests PROPERTIES FIXTURES_REQUIRED "wine;install_disk")

# Install throughput and peak memory beside curl (scripts/bench-install.sh); a
# benchmark, not a test.
add_executable(install_bench bench/install_bench.cpp)
target_link_libraries(install_bench PRIVATE qd_engine qd_test_server psapi)
target_include_directories(install_bench PRIVATE ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(install_bench PRIVATE QD_TEST_DATA="${QD_TEST_DATA}")
qd_strict(install_bench)
