# recipgen's table reader. Its source is compiled into the targets directly,
# so the fuzz build instruments it along with the target.
blockwright_fuzz_target(recipgen recipgen_fuzz.cpp m)
target_sources(replay_recipgen PRIVATE ${PROJECT_SOURCE_DIR}/programs/recipgen_table.cpp $<TARGET_OBJECTS:blockwright_reciprocal>)
target_include_directories(replay_recipgen PRIVATE ${PROJECT_SOURCE_DIR}/programs ${PROJECT_SOURCE_DIR}/lib)
if(BLOCKWRIGHT_FUZZ)
  target_sources(fuzz_recipgen PRIVATE ${PROJECT_SOURCE_DIR}/programs/recipgen_table.cpp $<TARGET_OBJECTS:blockwright_reciprocal>)
  target_include_directories(fuzz_recipgen PRIVATE ${PROJECT_SOURCE_DIR}/programs ${PROJECT_SOURCE_DIR}/lib)
  target_compile_options(fuzz_recipgen PRIVATE ${BLOCKWRIGHT_WARNINGS})
endif()
