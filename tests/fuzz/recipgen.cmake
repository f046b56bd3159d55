# recipgen's table reader. Its source is compiled into the targets directly,
# so the fuzz build instruments it along with the target.
blockwright_fuzz_target(recipgen recipgen_fuzz.cpp m)
foreach(target replay_recipgen fuzz_recipgen)
  if(TARGET ${target})
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/programs/recipgen_table.cpp
                   $<TARGET_OBJECTS:blockwright_reciprocal>)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/programs ${PROJECT_SOURCE_DIR}/lib)
  endif()
endforeach()
if(BLOCKWRIGHT_FUZZ)
  target_compile_options(fuzz_recipgen PRIVATE ${BLOCKWRIGHT_WARNINGS})
endif()
