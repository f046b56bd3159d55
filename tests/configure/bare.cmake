# Configures the project as if GoogleTest and libjpeg were missing; fails
# unless that works and says so in exactly one line.
file(REMOVE_RECURSE "${BINARY_DIR}")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}" -B "${BINARY_DIR}" -G "${GENERATOR}"
          "-DCMAKE_CXX_COMPILER=${CXX}" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
          -DCMAKE_DISABLE_FIND_PACKAGE_JPEG=ON
  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "configure failed without the test libraries:\n${out}\n${err}")
endif()
string(REGEX MATCHALL "Not building the tests and benchmark: [^\n]*" lines "${out}")
list(LENGTH lines count)
if(NOT count EQUAL 1 OR NOT EXISTS "${BINARY_DIR}/programs")
  message(FATAL_ERROR "expected one line about the tests and benchmark:\n${out}\n${err}")
endif()
file(REMOVE_RECURSE "${BINARY_DIR}")
