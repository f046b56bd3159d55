# Debian packages of this build, one per install component (cmake/install.cmake):
#
#   cmake -S . -B build -DCMAKE_INSTALL_PREFIX=/usr
#   cmake --build build --target package        (or: cd build && cpack -G DEB)
#
# The prefix /usr puts the libraries in Debian's multiarch folder,
# lib/<triplet>. Version: the project's, as bw_version() and blockwright.pc
# give it; architecture: the compiler's target (a cross build makes packages
# for its CPU); dependencies of the binaries from dpkg-shlibdeps.
get_target_property(soversion blockwright_shared SOVERSION)

set(BLOCKWRIGHT_DEB_MAINTAINER
    "Blockwright maintainers <maintainers@users.noreply.c-seed-eefb4a2d.example>"
    CACHE STRING "Maintainer field of the Debian packages")
set(BLOCKWRIGHT_DEB_COPYRIGHT "${PROJECT_SOURCE_DIR}/cmake/debian/copyright" CACHE FILEPATH
    "Copyright file shipped in each Debian package")

# Debian architecture of the target CPU.
set(deb_arch "")
find_program(BLOCKWRIGHT_DPKG_ARCHITECTURE dpkg-architecture)
if(CMAKE_LIBRARY_ARCHITECTURE AND BLOCKWRIGHT_DPKG_ARCHITECTURE)
  execute_process(
    COMMAND "${BLOCKWRIGHT_DPKG_ARCHITECTURE}" "-t${CMAKE_LIBRARY_ARCHITECTURE}" -qDEB_HOST_ARCH
    OUTPUT_VARIABLE deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(deb_arch)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "${deb_arch}")
  set(CPACK_BLOCKWRIGHT_HOST_ARCH "${deb_arch}")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME blockwright)
set(CPACK_PACKAGE_VERSION "${blockwright_VERSION}")
set(CPACK_PACKAGE_CONTACT "${BLOCKWRIGHT_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${BLOCKWRIGHT_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SOURCE blockwright)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_BLOCKWRIGHT_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/cmake/cpack_project.cmake")

# A cross build's binaries need the target's C library, whose package dpkg
# knows only on a multiarch machine; otherwise the cross compiler's C
# library version is the minimum.
if(CMAKE_CROSSCOMPILING AND deb_arch)
  execute_process(COMMAND dpkg-query -W -f=\${Version} "libc6:${deb_arch}"
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  if(NOT rc EQUAL 0)
    execute_process(COMMAND dpkg-query -W -f=\${Version} "libc6-${deb_arch}-cross"
                    OUTPUT_VARIABLE libc_version ERROR_QUIET)
    string(REGEX MATCH "^[0-9]+\\.[0-9]+" libc_version "${libc_version}")
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
    if(libc_version)
      set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${libc_version})")
    endif()
    message(STATUS "Debian packages for ${deb_arch}: libc6:${deb_arch} is not installed, "
                   "so they depend on ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
  endif()
endif()

# Each package's copyright and changelog, in /usr/share/doc/<package>/,
# are installed for the packages only: neither `cmake --install` nor
# `cmake --install --component <name>` installs them.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)  # honours SOURCE_DATE_EPOCH
file(WRITE "${PROJECT_BINARY_DIR}/debian/changelog"
  "blockwright (${blockwright_VERSION}) unstable; urgency=medium\n\n"
  "  * Blockwright ${blockwright_VERSION}, packaged from the source tree.\n\n"
  " -- ${BLOCKWRIGHT_DEB_MAINTAINER}  ${date}\n")
find_program(BLOCKWRIGHT_GZIP gzip)
if(BLOCKWRIGHT_GZIP)
  execute_process(COMMAND "${BLOCKWRIGHT_GZIP}" -9nc "${PROJECT_BINARY_DIR}/debian/changelog"
                  OUTPUT_FILE "${PROJECT_BINARY_DIR}/debian/changelog.gz")
endif()

# blockwright_package(<component> <package> <section> <summary> <what it holds>...)
set(CPACK_COMPONENTS_ALL "")
function(blockwright_package component package section summary holds)
  string(TOUPPER "${component}" c)
  string(CONCAT holds "${holds}" ${ARGN})
  # The package: the component and its Debian files (component <name>_deb),
  # grouped.
  set(CPACK_COMPONENTS_ALL ${CPACK_COMPONENTS_ALL} ${component} ${component}_deb PARENT_SCOPE)
  set(CPACK_COMPONENT_${c}_GROUP ${component} PARENT_SCOPE)
  set(CPACK_COMPONENT_${c}_DEB_GROUP ${component} PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_PACKAGE_NAME "${package}" PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_PACKAGE_SECTION "${section}" PARENT_SCOPE)
  string(CONCAT desc  # cpack indents the lines and marks the empty one
    "integer-only baseline JPEG encoder - ${summary}\n"
    "Blockwright encodes 8-bit grayscale and colour frames into baseline\n"
    "sequential JPEG (JFIF) files with integer arithmetic alone, the same bytes\n"
    "on every CPU, and picks SSE4.1, AVX2, AVX-512 or NEON code at run time.\n"
    "The encoder object lives in the caller's memory; with one thread nothing\n"
    "is allocated.\n"
    "\n"
    "This package contains ${holds}.")
  set(CPACK_DEBIAN_${c}_DESCRIPTION "${desc}" PARENT_SCOPE)
  install(FILES "${BLOCKWRIGHT_DEB_COPYRIGHT}" "${PROJECT_BINARY_DIR}/debian/changelog.gz"
          DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}"
          COMPONENT ${component}_deb EXCLUDE_FROM_ALL)
endfunction()

set(runtime libblockwright${soversion})
blockwright_package(runtime ${runtime} libs "shared library" "the shared library")
blockwright_package(dev libblockwright-dev libdevel "development files"
  "the header, the static library, the CMake package and the\npkg-config file")
# ldconfig runs through dpkg's trigger rather than the maintainer scripts
# cpack would write.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/cmake/debian/triggers"
    "${PROJECT_SOURCE_DIR}/cmake/debian/postinst" "${PROJECT_SOURCE_DIR}/cmake/debian/postrm")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${runtime} (= ${blockwright_VERSION})")
if(BLOCKWRIGHT_PROGRAMS)
  blockwright_package(programs blockwright graphics "programs"
    "blockwright, which encodes a PGM or PPM file or raw\nsamples, "
    "and recipgen, which makes the encoder's reciprocal table from a\nquantizer table")
endif()
if(TARGET gstblockwright)
  blockwright_package(gstreamer gstreamer1.0-blockwright video "GStreamer element"
    "blockwrightenc, a GStreamer element that encodes\ngrayscale, YUV and RGB video frames")
endif()

include(CPack)
