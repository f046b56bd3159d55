# The blockwright program run in a temporary folder: output-side failures,
# file modes, links. cli_harness.cpp also serves hostile.cmake.
blockwright_test(cli_tests cli_test.cpp cli_harness.cpp)
