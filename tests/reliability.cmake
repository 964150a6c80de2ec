# The whole program under stress: killed at moments across its runs, against
# a misbehaving server, and given signed manifests that try to escape the
# install folder. Each program is one CTest test that starts the built
# QuillmarrowDunmirSetup.exe many times, at up to 2 s a start.
function(qd_reliability_test name)
  qd_test(${name} LIBS qd_release qd_test_server advapi32 shell32 ole32
          SOURCES ${name}.cpp e2e_support.cpp)
  target_compile_definitions(${name} PRIVATE QD_SETUP_EXE="Z:$<TARGET_FILE:QuillmarrowDunmirSetup>")
  add_dependencies(${name} QuillmarrowDunmirSetup)
  set_tests_properties(${name} PROPERTIES TIMEOUT 900)
endfunction()

qd_reliability_test(crash_tests)
qd_reliability_test(hostile_server_tests)
qd_reliability_test(hostile_manifest_tests)
