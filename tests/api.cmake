# The C API alone: every status, and encoders in four threads at once (also
# built and run under ThreadSanitizer by run-all.sh).
find_package(Threads REQUIRED)
foreach(name api_status_tests api_threads_tests)
  string(REPLACE "_tests" "_test.cpp" source ${name})
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE blockwright_core Threads::Threads GTest::gtest_main)
  target_compile_options(${name} PRIVATE ${BLOCKWRIGHT_WARNINGS})
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
endforeach()
