# Cross build for 32-bit x86 (i686, x87 floating point), with Debian's cross
# compiler
# (apt-get install crossbuild-essential-i386 qemu-user):
#   cmake -S . -B build-i686-linux-gnu -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-linux-gnu.cmake
# Programs built for it (recipgen during the build, the tests under CTest)
# run through qemu-user with the target's libraries from /usr/i686-linux-gnu.
# LD_LIBRARY_PATH keeps them together: the target's loader also reads the
# machine's /etc/ld.so.cache, which lists the 32-bit libraries of Debian's
# libc6-i386 in /lib32 when that is installed, and a C library from there
# with the loader from here (another release) hangs in the first
# pthread_create, walking a list of cached thread stacks that never ends.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 -L /usr/i686-linux-gnu -E LD_LIBRARY_PATH=/usr/i686-linux-gnu/lib)
