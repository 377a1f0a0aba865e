# The watch of the application under test: a small application that reads
# the event node and draws into the frame buffer, run under the built
# tapfuzz. Like e2e_test, it needs the host's namespaces.
if(NOT CMAKE_CROSSCOMPILING)
  # Started by the shipped program with the shim preloaded: no sanitizer.
  add_executable(touchapp app/touchapp.c)
  set_target_properties(touchapp PROPERTIES COMPILE_OPTIONS "-Wall;-Wextra;$<$<BOOL:${TAPFUZZ_WERROR}>:-Werror>"
    LINK_OPTIONS "")
  add_executable(app_test app_test.cc)
  target_link_libraries(app_test PRIVATE test_sandbox GTest::gtest_main)
  target_compile_definitions(app_test PRIVATE TAPFUZZ_BIN="$<TARGET_FILE:tapfuzz>"
    FEEDINPUT_LIB="$<TARGET_FILE:feedinput>" FBSHIM_LIB="$<TARGET_FILE:fbshim>" TOUCHAPP_BIN="$<TARGET_FILE:touchapp>")
  add_dependencies(app_test tapfuzz feedinput fbshim touchapp)
  gtest_discover_tests(app_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endif()
