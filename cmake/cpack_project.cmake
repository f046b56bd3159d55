# Read by cpack for each package it makes (CPACK_PROJECT_CONFIG_FILE).
if(CPACK_GENERATOR STREQUAL "DEB")
  # Debian packages hold files under /usr, the libraries in the multiarch
  # folder that a build for that prefix chose.
  if(NOT CPACK_BLOCKWRIGHT_INSTALL_PREFIX STREQUAL "/usr")
    message(FATAL_ERROR "Debian packages need a build configured with "
                        "-DCMAKE_INSTALL_PREFIX=/usr (this one: ${CPACK_BLOCKWRIGHT_INSTALL_PREFIX})")
  endif()
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  # The GStreamer plugin has no SONAME, which the shlibs file of its package
  # has no need of: no warning about it.
  set(CMAKE_SUPPRESS_DEVELOPER_WARNINGS ON)
  # dpkg-shlibdeps looks up the libraries of the packages' CPU.
  if(CPACK_BLOCKWRIGHT_HOST_ARCH)
    set(ENV{DEB_HOST_ARCH} "${CPACK_BLOCKWRIGHT_HOST_ARCH}")
  endif()
endif()
