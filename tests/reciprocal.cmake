# The reciprocals of every step at every position, against figures recorded
# on x86-64: the same on every CPU (run under qemu in the cross builds).
blockwright_test(reciprocal_tests reciprocal_test.cpp)
