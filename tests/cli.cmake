# The blockwright program run in a temporary folder: output-side failures,
# file modes, links, the options, signals. cli_harness.cpp also serves
# hostile.cmake.
blockwright_test(cli_tests cli_test.cpp cli_options_test.cpp cli_colour_test.cpp cli_signal_test.cpp
                 cli_harness.cpp)
target_link_libraries(cli_tests PRIVATE blockwright_input)

# The program's writable static data: under 46 KiB (its 32 KiB encoder among it)
# plus its 10 KiB stripe,
# and no C++ run-time to load
# (not measured in instrumented builds, whose globals carry redzones).
if(CMAKE_READELF AND NOT BLOCKWRIGHT_SANITIZE AND NOT BLOCKWRIGHT_FUZZ)
  add_test(NAME cli.static_data
    COMMAND ${CMAKE_COMMAND} -DREADELF=${CMAKE_READELF} -DPROGRAM=$<TARGET_FILE:blockwright>
            -DLIMIT=57344 -P ${CMAKE_CURRENT_SOURCE_DIR}/configure/static_data.cmake)
endif()
