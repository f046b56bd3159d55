# Encoders with several threads write the bytes of one thread, and fail
# cleanly. Only the library and GoogleTest: run-all.sh also runs it under
# ThreadSanitizer.
add_executable(threads_tests threads_test.cpp)
target_link_libraries(threads_tests PRIVATE blockwright_core GTest::gtest_main)
target_compile_options(threads_tests PRIVATE ${BLOCKWRIGHT_WARNINGS})
gtest_discover_tests(threads_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
# The shared library, which one test loads and unloads (dlopen, dlclose).
target_compile_definitions(threads_tests PRIVATE BW_SHARED_LIBRARY="$<TARGET_FILE:blockwright_shared>")
target_link_libraries(threads_tests PRIVATE ${CMAKE_DL_LIBS})
add_dependencies(threads_tests blockwright_shared)
