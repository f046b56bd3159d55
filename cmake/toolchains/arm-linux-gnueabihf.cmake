# Cross build for 32-bit ARM (armhf: armv7-a, VFPv3; NEON is checked at run
# time), with Debian's cross compiler
# (apt-get install crossbuild-essential-armhf qemu-user):
#   cmake -S . -B build-arm-linux-gnueabihf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm-linux-gnueabihf.cmake
# Programs built for it (recipgen during the build, the tests under CTest)
# run through qemu-user with the target's libraries from /usr/arm-linux-gnueabihf.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7-a)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf)
