# A C program outside the project (examples/encode_frame.c) built against the
# installed tree, through pkg-config and through find_package, with the
# shared and the static library. Not in sanitizer builds, whose libraries
# need the sanitizers' run-time, nor when cross-compiling.
if(BLOCKWRIGHT_INSTALL AND NOT BLOCKWRIGHT_SANITIZE AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize"
   AND NOT CMAKE_CROSSCOMPILING)
  find_program(BLOCKWRIGHT_PKG_CONFIG NAMES pkg-config pkgconf)
  add_test(NAME installed_consumer
    COMMAND "${CMAKE_COMMAND}" "-DBUILD_DIR=${PROJECT_BINARY_DIR}"
            "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}" "-DWORK=${CMAKE_CURRENT_BINARY_DIR}/consumer"
            "-DSAMPLE=${PROJECT_SOURCE_DIR}/samples/camera.y" "-DCC=${CMAKE_C_COMPILER}"
            "-DPKG_CONFIG=${BLOCKWRIGHT_PKG_CONFIG}" "-DNM=${CMAKE_NM}"
            "-DLIBDIR=${CMAKE_INSTALL_LIBDIR}"
            -P "${CMAKE_CURRENT_SOURCE_DIR}/consumer/run.cmake")
endif()
