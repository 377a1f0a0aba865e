# The core-dump monitor's unit tests, and end-to-end runs of the built
# tapfuzz with the built libfeedinput.
add_executable(coredump_test coredump_test.cc)
target_link_libraries(coredump_test PRIVATE tapfuzz_core test_sandbox GTest::gtest_main)
gtest_discover_tests(coredump_test DISCOVERY_TIMEOUT 60)

# Answers the frame-buffer and evdev queries for the regular files that
# stand in for /dev/fb0 and /dev/input/event0. Preloaded into the shipped
# program, so it carries no sanitizer of its own.
add_library(fbshim MODULE fbshim.c)
set_target_properties(fbshim PROPERTIES PREFIX "" COMPILE_OPTIONS "-Wall;-Wextra;$<$<BOOL:${TAPFUZZ_WERROR}>:-Werror>"
  LINK_OPTIONS "")
target_link_libraries(fbshim PRIVATE ${CMAKE_DL_LIBS})

# A run of the whole program needs the host's namespaces; under qemu-user
# they are not the guest's to use, so the cross build leaves these out.
if(NOT CMAKE_CROSSCOMPILING)
  add_executable(e2e_test e2e_test.cc)
  target_link_libraries(e2e_test PRIVATE tapfuzz_core test_sandbox GTest::gtest_main)
  target_compile_definitions(e2e_test PRIVATE TAPFUZZ_BIN="$<TARGET_FILE:tapfuzz>"
    FEEDINPUT_LIB="$<TARGET_FILE:feedinput>" FBSHIM_LIB="$<TARGET_FILE:fbshim>")
  add_dependencies(e2e_test tapfuzz feedinput fbshim)
  gtest_discover_tests(e2e_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endif()
