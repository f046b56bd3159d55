# Quantizer table and build quality.

# The range proof over every quality, computed from the same base table.
blockwright_test(quality_range_tests quality_range_test.cpp)
target_link_libraries(quality_range_tests PRIVATE recipgen_table)
target_compile_definitions(quality_range_tests PRIVATE
  BW_QTABLE_FILE="${BLOCKWRIGHT_QTABLE_FILE}" BW_QUALITY=${BLOCKWRIGHT_QUALITY})
