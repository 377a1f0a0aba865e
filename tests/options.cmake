# Command line, pacing and the shared utilities they read numbers with.
# Cases that write the option or pacing globals run in a child process of
# their own (child_case.h), so every case starts from the initial values.
foreach(name utils_test options_test pacing_test)
  add_executable(${name} ${name}.cc)
  target_link_libraries(${name} PRIVATE tapfuzz_core test_sandbox GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60)
endforeach()
