# Tests of the device profile reader and of the Logger. They write below the
# build's test directory; the Logger tests run every case in a child process
# of its own, since the Logger sets itself up once per process.
add_executable(profile_test profile_test.cc)
target_link_libraries(profile_test PRIVATE tapfuzz_core GTest::gtest_main)
gtest_discover_tests(profile_test DISCOVERY_MODE PRE_TEST)

add_executable(logger_test logger_test.cc)
target_link_libraries(logger_test PRIVATE tapfuzz_core GTest::gtest_main)
gtest_discover_tests(logger_test DISCOVERY_MODE PRE_TEST)
# Lets the Logger tests count, fail and hold back starts of the echo thread.
target_link_options(logger_test PRIVATE -Wl,--wrap=pthread_create)
