# recipgen: the program run as a subprocess, and its table reader in-process.
blockwright_test(recipgen_tests recipgen_test.cpp)
target_link_libraries(recipgen_tests PRIVATE recipgen_table)
