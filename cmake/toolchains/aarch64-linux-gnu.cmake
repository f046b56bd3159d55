# Cross build for 64-bit ARM (aarch64), with Debian's cross compiler
# (apt-get install crossbuild-essential-arm64 qemu-user):
#   cmake -S . -B build-aarch64-linux-gnu -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
# Programs built for it (recipgen during the build, the tests under CTest)
# run through qemu-user with the target's libraries from /usr/aarch64-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
