# Cross build for IBM Z (s390x, a big-endian CPU), with Debian's cross
# compiler
# (apt-get install crossbuild-essential-s390x qemu-user):
#   cmake -S . -B build-s390x-linux-gnu -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/s390x-linux-gnu.cmake
# Programs built for it (recipgen during the build, the tests under CTest)
# run through qemu-user with the target's libraries from /usr/s390x-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L /usr/s390x-linux-gnu)
