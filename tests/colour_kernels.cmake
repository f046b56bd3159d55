# The vector colour kernels (conversion, downsampling, 4:2:2 unpacking) of
# each instruction set the CPU has give the bytes of the integer formulas.
blockwright_test(colour_kernels_tests colour_kernels_test.cpp)
