# The blockwright program run in a temporary folder: output-side failures,
# file modes, links, the options, signals. cli_harness.cpp also serves
# hostile.cmake.
blockwright_test(cli_tests cli_test.cpp cli_options_test.cpp cli_signal_test.cpp cli_harness.cpp)
target_link_libraries(cli_tests PRIVATE blockwright_input)
