# Event mix, random event source and injection bridge.

# The source's test brings its own ioctl() and rand(), ahead of the C library's.
add_executable(generator_test generator_test.cc)
target_link_libraries(generator_test PRIVATE tapfuzz_core test_sandbox GTest::gtest_main ${CMAKE_DL_LIBS})
gtest_discover_tests(generator_test DISCOVERY_TIMEOUT 60)

# Stand-ins for libfeedinput, each named libfeedinput.so in a folder of its
# own, exporting only some of the names the bridge looks up.
set(FAKEFEED_DIR ${CMAKE_CURRENT_BINARY_DIR}/fakefeed)
set(fakefeed_touchonly FAKEFEED_TOUCH)
set(fakefeed_basic FAKEFEED_TOUCH FAKEFEED_GESTURES FAKEFEED_KEY)
set(fakefeed_full ${fakefeed_basic} FAKEFEED_MCU FAKEFEED_VERSION="fake-2.1")
set(fakefeed_failing ${fakefeed_basic} FAKEFEED_MCU FAKEFEED_VERSION="unused" FAKEFEED_RESULT=-1)
add_executable(injector_test injector_test.cc)
foreach(variant touchonly basic full failing)
  add_library(fakefeed_${variant} MODULE testlibs/fakefeed.cc)
  target_compile_definitions(fakefeed_${variant} PRIVATE ${fakefeed_${variant}})
  set_target_properties(fakefeed_${variant} PROPERTIES OUTPUT_NAME feedinput
                        LIBRARY_OUTPUT_DIRECTORY ${FAKEFEED_DIR}/${variant})
  add_dependencies(injector_test fakefeed_${variant})
endforeach()
target_compile_definitions(injector_test PRIVATE FAKEFEED_DIR="${FAKEFEED_DIR}")
target_link_libraries(injector_test PRIVATE tapfuzz_core test_sandbox GTest::gtest_main ${CMAKE_DL_LIBS})
gtest_discover_tests(injector_test DISCOVERY_TIMEOUT 60)
