qd_test(release_tests LIBS qd_release SOURCES release_tests.cpp)

# Throughput of hashFile on a 1 GiB file (scripts/bench-hash.sh); a benchmark, not a test.
add_executable(hash_bench bench/hash_bench.cpp)
target_link_libraries(hash_bench PRIVATE qd_release)
target_include_directories(hash_bench PRIVATE ${PROJECT_SOURCE_DIR})
qd_strict(hash_bench)
