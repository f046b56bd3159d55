# Every code path (reference, scalar, each instruction set of the CPU) gives
# the same coefficients and bytes.
blockwright_test(paths_tests paths_test.cpp)
