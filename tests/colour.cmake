# Colour frames: every input kind, sampling, path and thread count.
blockwright_test(colour_tests colour_test.cpp)
