# Cross build for 32-bit x86 (i686, x87 floating point), with Debian's cross
# compiler
# (apt-get install crossbuild-essential-i386 qemu-user):
#   cmake -S . -B build-i686-linux-gnu -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-linux-gnu.cmake
# Programs built for it (recipgen during the build, the tests under CTest)
# run through qemu-user with the target's libraries from /usr/i686-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 -L /usr/i686-linux-gnu)
