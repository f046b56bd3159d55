# Installation, in components that are also the Debian packages
# (cmake/packaging.cmake):
#   runtime   the shared library, libblockwright.so.<SOVERSION>
#   dev       the header, the static library, the libblockwright.so link,
#             the CMake package (Blockwright::blockwright, the shared
#             library, and Blockwright::blockwright_static) and blockwright.pc
#   programs  blockwright and recipgen (when BLOCKWRIGHT_PROGRAMS is on)
# `cmake --install build` installs them all; `--component dev` one of them.
include(CMakePackageConfigHelpers)

set(cmake_dir "${CMAKE_INSTALL_LIBDIR}/cmake/Blockwright")
install(FILES "${PROJECT_SOURCE_DIR}/include/blockwright.h"
        DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT dev)
install(TARGETS blockwright_shared blockwright_static EXPORT BlockwrightTargets
        ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT dev
        LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT runtime NAMELINK_COMPONENT dev
        RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT runtime)
install(EXPORT BlockwrightTargets NAMESPACE Blockwright:: DESTINATION "${cmake_dir}"
        COMPONENT dev)
write_basic_package_version_file("${PROJECT_BINARY_DIR}/BlockwrightConfigVersion.cmake"
  VERSION "${blockwright_VERSION}" COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_SOURCE_DIR}/cmake/BlockwrightConfig.cmake"
        "${PROJECT_BINARY_DIR}/BlockwrightConfigVersion.cmake"
        DESTINATION "${cmake_dir}" COMPONENT dev)

# blockwright.pc names the prefix it is installed under, which
# `cmake --install --prefix` may change: it is written at install time.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(pc_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(pc_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
set(prefix "@prefix@")
configure_file("${PROJECT_SOURCE_DIR}/cmake/blockwright.pc.in"
               "${PROJECT_BINARY_DIR}/blockwright.pc.in" @ONLY)
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/blockwright.pc.in\"
                 \"${PROJECT_BINARY_DIR}/blockwright.pc\" @ONLY)" COMPONENT dev)
install(FILES "${PROJECT_BINARY_DIR}/blockwright.pc"
        DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig" COMPONENT dev)

if(BLOCKWRIGHT_PROGRAMS)
  install(TARGETS blockwright recipgen RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
          COMPONENT programs)
endif()
