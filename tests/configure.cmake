# Configuring on a machine without the test libraries: the programs still
# configure, and one line says that the tests and benchmark are not built.
add_test(NAME configure.without_test_libraries
  COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
          -DBINARY_DIR=${CMAKE_CURRENT_BINARY_DIR}/configure/bare -DGENERATOR=${CMAKE_GENERATOR}
          -DCXX=${CMAKE_CXX_COMPILER} -P ${CMAKE_CURRENT_SOURCE_DIR}/configure/bare.cmake)

# The test command's check for missing Debian packages.
add_test(NAME run_all.missing_packages
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/missing-packages-test.sh)
