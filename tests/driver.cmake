# libfeedinput, loaded the way the program loads it: by the path of the
# built file, bound by name. The test binary exports write, usleep and time
# so that the library's calls reach the test's pass-through versions.
add_executable(driver_tests driver_test.cc)
target_include_directories(driver_tests PRIVATE ${PROJECT_SOURCE_DIR}/driver)
target_compile_definitions(driver_tests PRIVATE FEEDINPUT_PATH="$<TARGET_FILE:feedinput>")
target_link_options(driver_tests PRIVATE
  -Wl,--export-dynamic-symbol=write,--export-dynamic-symbol=usleep,--export-dynamic-symbol=time)
target_link_libraries(driver_tests PRIVATE test_sandbox GTest::gtest GTest::gtest_main ${CMAKE_DL_LIBS})
add_dependencies(driver_tests feedinput)
gtest_discover_tests(driver_tests DISCOVERY_TIMEOUT 60)
