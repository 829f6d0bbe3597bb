# Cross-compiles for 32-bit ARM (armhf) with Debian's cross toolchain and the
# armhf -dev packages installed through multiarch. Test programs run under
# qemu-user through the crossing emulator, so CTest works unchanged.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
# The multiarch armhf C library (libc6:armhf, pulled in by the -dev packages)
# is the one the binaries run with; the cross toolchain's own copy under
# /usr/arm-linux-gnueabihf is of another build and breaks threads under qemu.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /)
# Everything is several times slower under the emulator: the tests multiply
# every time limit (their own waits and CTest's TIMEOUT) by this one factor.
set(ORVIK_TIME_SCALE 10 CACHE STRING "Factor for every time limit of the tests")
