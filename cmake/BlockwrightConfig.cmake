# find_package(Blockwright CONFIG) gives two targets:
#   Blockwright::blockwright         the shared library, libblockwright.so.2
#   Blockwright::blockwright_static  the static library, libblockwright.a
# Either links from C alone: neither needs the C++ run-time.
# The static library runs POSIX threads for parallel encodings.
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include("${CMAKE_CURRENT_LIST_DIR}/BlockwrightTargets.cmake")

# The static library is C++ inside but links as C (the export would ask
# consumers for the C++ linker).
get_target_property(_bw_configs Blockwright::blockwright_static IMPORTED_CONFIGURATIONS)
foreach(_bw_config IN LISTS _bw_configs)
  set_property(TARGET Blockwright::blockwright_static
               PROPERTY IMPORTED_LINK_INTERFACE_LANGUAGES_${_bw_config} C)
endforeach()
unset(_bw_configs)
unset(_bw_config)
