# Quantizer table and build quality.

# The range proof over every quality, computed from the same base table.
blockwright_test(quality_range_tests quality_range_test.cpp)
target_link_libraries(quality_range_tests PRIVATE recipgen_table)
target_compile_definitions(quality_range_tests PRIVATE
  BW_QTABLE_FILE="${BLOCKWRIGHT_QTABLE_FILE}" BW_QUALITY=${BLOCKWRIGHT_QUALITY})

# Builds of the encoder alone at other qualities, and one whose table file is
# changed and rebuilt; quality_tests encodes with each of them.
set(quality_builds "${CMAKE_CURRENT_BINARY_DIR}/quality")
set(subbuild_args
  -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DGENERATOR=${CMAKE_GENERATOR}
  -DCXX=${CMAKE_CXX_COMPILER} -DCXX_FLAGS=${CMAKE_CXX_FLAGS} -DSANITIZE=${BLOCKWRIGHT_SANITIZE}
  -DQTABLE_FILE=${BLOCKWRIGHT_QTABLE_FILE})
foreach(q 1 50 90 100)
  add_test(NAME quality.build.q${q}
    COMMAND ${CMAKE_COMMAND} ${subbuild_args} -DBINARY_DIR=${quality_builds}/q${q} -DQUALITY=${q}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/quality/subbuild.cmake)
endforeach()
add_test(NAME quality.build.retable
  COMMAND ${CMAKE_COMMAND} ${subbuild_args} -DBINARY_DIR=${quality_builds}/retable -DQUALITY=75
          -DALT_TABLE=${CMAKE_CURRENT_SOURCE_DIR}/quality/alt_table.txt
          -P ${CMAKE_CURRENT_SOURCE_DIR}/quality/subbuild.cmake)
set_tests_properties(quality.build.q1 quality.build.q50 quality.build.q90 quality.build.q100
                     quality.build.retable
                     PROPERTIES FIXTURES_SETUP quality_builds TIMEOUT 900)

add_executable(quality_tests quality_test.cpp)
target_link_libraries(quality_tests PRIVATE bw_testsupport recipgen_table GTest::gtest_main)
target_compile_options(quality_tests PRIVATE ${BLOCKWRIGHT_WARNINGS})
target_compile_definitions(quality_tests PRIVATE
  BW_QTABLE_FILE="${BLOCKWRIGHT_QTABLE_FILE}" BW_QUALITY=${BLOCKWRIGHT_QUALITY}
  BW_QUALITY_BUILDS="${quality_builds}"
  BW_ALT_TABLE="${CMAKE_CURRENT_SOURCE_DIR}/quality/alt_table.txt")
add_dependencies(quality_tests blockwright recipgen)
add_test(NAME quality.streams COMMAND quality_tests)
set_tests_properties(quality.streams PROPERTIES FIXTURES_REQUIRED quality_builds TIMEOUT 600)
