# The blockwright program on hostile image.y inputs (harness in cli_harness.cpp).
blockwright_test(hostile_tests hostile_test.cpp cli_harness.cpp)
target_link_libraries(hostile_tests PRIVATE blockwright_input)
