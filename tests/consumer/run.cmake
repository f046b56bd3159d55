# Installs the build into WORK/prefix, checks what the libraries export and
# need, then builds examples/encode_frame.c against the installed tree with
# the C compiler alone, through pkg-config and through find_package, with
# each library, and checks that every build encodes SAMPLE to the shipped
# bytes.
#
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK=... -DSAMPLE=...
#         -DCC=... -DPKG_CONFIG=... -DNM=... [-DLIBDIR=lib/<triplet>] -P run.cmake

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    list(JOIN ARGN " " cmd)
    message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

# Symbol names from nm -P output (name first on each line).
function(symbols var)
  run("${NM}" -P ${ARGN})
  string(REPLACE "\n" ";" names "${out}")
  list(FILTER names EXCLUDE REGEX "^$|:$")  # blank lines, archive members
  list(TRANSFORM names REPLACE "[@ ].*" "")
  list(REMOVE_DUPLICATES names)
  set(${var} "${names}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK}")
run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${WORK}/prefix")
if(NOT LIBDIR)
  set(LIBDIR lib)
endif()
set(lib "${WORK}/prefix/${LIBDIR}")
foreach(f include/blockwright.h ${LIBDIR}/libblockwright.a ${LIBDIR}/libblockwright.so.2
          ${LIBDIR}/pkgconfig/blockwright.pc ${LIBDIR}/cmake/Blockwright/BlockwrightConfig.cmake)
  if(NOT EXISTS "${WORK}/prefix/${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

# The shared library exports the API alone.
symbols(exported -D --defined-only "${lib}/libblockwright.so.2")
list(FILTER exported EXCLUDE REGEX "^bw_[a-z_]+$")
if(exported)
  message(FATAL_ERROR "libblockwright.so exports more than bw_*: ${exported}")
endif()
# Neither library needs anything of the C++ run-time (the static one's own
# cross-references aside).
symbols(so_needs -u "${lib}/libblockwright.so.2")
symbols(a_needs -u "${lib}/libblockwright.a")
symbols(a_has --defined-only "${lib}/libblockwright.a")
list(REMOVE_ITEM a_needs ${a_has})
set(needs ${so_needs} ${a_needs})
list(FILTER needs INCLUDE REGEX "^(_Z|__cxa_|__gxx_|_Unwind_)")
list(REMOVE_ITEM needs __cxa_finalize)  # the C library's, in every shared object
if(needs)
  message(FATAL_ERROR "the libraries need the C++ run-time: ${needs}")
endif()

set(expected 052723da0e6ba6444e05e1f071af63375c930565e4865f3aea5bdfef8eac28dd)
set(example "${SOURCE_DIR}/examples/encode_frame.c")
set(warnings -std=c11 -Wall -Wextra -Wpedantic -Werror)
list(JOIN warnings " " c_flags)
set(programs "")

# pkg-config: the shared library, then the static one.
if(NOT PKG_CONFIG)
  message(FATAL_ERROR "pkg-config not found: install it (Debian: pkg-config)")
endif()
set(ENV{PKG_CONFIG_PATH} "${lib}/pkgconfig")
run("${PKG_CONFIG}" --cflags --libs blockwright)
separate_arguments(flags UNIX_COMMAND "${out}")
run("${CC}" ${warnings} "${example}" ${flags} "-Wl,-rpath,${lib}" -o "${WORK}/pc_shared")
run("${PKG_CONFIG}" --static --cflags --libs blockwright)
separate_arguments(flags UNIX_COMMAND "${out}")
run("${CC}" ${warnings} "${example}" -Wl,-Bstatic ${flags} -Wl,-Bdynamic -o "${WORK}/pc_static")
list(APPEND programs "${WORK}/pc_shared" "${WORK}/pc_static")

# find_package(Blockwright CONFIG).
run("${CMAKE_COMMAND}" -S "${SOURCE_DIR}/examples" -B "${WORK}/cmake"
    "-DCMAKE_PREFIX_PATH=${WORK}/prefix" "-DCMAKE_C_COMPILER=${CC}" -DCMAKE_BUILD_TYPE=Release
    "-DCMAKE_C_FLAGS=${c_flags}")
run("${CMAKE_COMMAND}" --build "${WORK}/cmake")
list(APPEND programs "${WORK}/cmake/encode_frame" "${WORK}/cmake/encode_frame_static")

foreach(program IN LISTS programs)
  run("${program}" "${SAMPLE}" "${WORK}/out.jpg")
  file(SHA256 "${WORK}/out.jpg" got)
  if(NOT got STREQUAL expected)
    message(FATAL_ERROR "${program}: SHA-256 ${got}, expected ${expected}")
  endif()
  file(REMOVE "${WORK}/out.jpg")
endforeach()
# The shared builds run on the installed library, not a copy of it.
run(ldd "${WORK}/cmake/encode_frame")
if(NOT out MATCHES "libblockwright\\.so\\.2 => ${lib}/")
  message(FATAL_ERROR "encode_frame does not load ${lib}/libblockwright.so.2:\n${out}")
endif()
