# Cross-build for the device: 32-bit Arm, hard-float, glibc.
# Tests run through qemu-arm on the armhf runtime of the multiarch packages
# (libc6:armhf, which the armhf GoogleTest brings): the cross compiler's own
# loader paired with a newer multiarch libc crashes at the first thread.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(CMAKE_FIND_ROOT_PATH "/usr/arm-linux-gnueabihf;/")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;/)
