# The engine under Wine: helpers, status and HTTP(S) client, then check,
# apply, registration and game start, against the loopback test server, real
# files, the prefix's registry and its shell folders.

# Stands in for the game: reports how it was started.
add_executable(fake_game fake_game.cpp)
qd_strict(fake_game)

qd_test(engine_tests LIBS qd_engine qd_test_server crypt32 SOURCES engine_tests.cpp)
add_dependencies(engine_tests fake_game)
target_compile_definitions(engine_tests PRIVATE QD_FAKE_GAME="Z:$<TARGET_FILE:fake_game>")

# HTTPS needs a certificate authority and a TLS server outside the test
# program: https-test.sh makes both, then runs the Https cases under Wine.
add_test(NAME https_tests
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/https-test.sh $<TARGET_FILE:engine_tests> ${CMAKE_CURRENT_BINARY_DIR}/https)
set_tests_properties(https_tests PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "${QD_WINE_ENV}")

# The free-space test wants a drive whose free space holds still: an 80 MiB
# tmpfs seen by the prefix as Q:. Without permission to mount, Q: stays absent
# and the test skips itself; in CI, and for root, who may mount, that fails.
set(qd_small_disk ${CMAKE_BINARY_DIR}/small-disk)
add_test(NAME engine_install_disk_up COMMAND sh -c
  "mkdir -p '${qd_small_disk}' && { mountpoint -q '${qd_small_disk}' || mount -t tmpfs -o size=80m tmpfs '${qd_small_disk}'; } && ln -sfn '${qd_small_disk}' '${QD_WINEPREFIX}/dosdevices/q:' || { echo 'tmpfs not mounted: the free-space test will skip'; [ \"$CI\" != true ] && [ \"$(id -u)\" != 0 ]; }")
add_test(NAME engine_install_disk_down COMMAND sh -c
  "rm -f '${QD_WINEPREFIX}/dosdevices/q:'; mountpoint -q '${qd_small_disk}' && umount '${qd_small_disk}'; exit 0")
set_tests_properties(engine_install_disk_up PROPERTIES FIXTURES_SETUP install_disk FIXTURES_REQUIRED wine)
set_tests_properties(engine_install_disk_down PROPERTIES FIXTURES_CLEANUP install_disk FIXTURES_REQUIRED wine)
set_tests_properties(engine_tests PROPERTIES FIXTURES_REQUIRED "wine;install_disk")
