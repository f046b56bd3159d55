# Configures and builds the encoder alone in a separate build folder, the way
# a user changes the quantizer table: by quality or by base table file.
#
#   cmake -DSOURCE_DIR=<project> -DBINARY_DIR=<folder> -DQUALITY=<1..100>
#         [-DQTABLE_FILE=<base table>] [-DALT_TABLE=<other base table>]
#         -DGENERATOR=<g> -DCXX=<compiler> -DCXX_FLAGS=<flags> -DSANITIZE=<ON|OFF>
#         -P subbuild.cmake
#
# With ALT_TABLE, QTABLE_FILE is taken as the table to start from: it is
# copied into the build folder as table.txt and built; the encoder and qu.inc
# of that build are kept as blockwright.before and qu.before.inc; then
# table.txt is overwritten with ALT_TABLE and the folder is rebuilt with
# nothing but "cmake --build", as after editing the table by hand.

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${BINARY_DIR}: ${what} failed:\n${out}")
  endif()
endfunction()

set(table "${QTABLE_FILE}")
if(ALT_TABLE)
  # A fresh copy with a fresh time stamp, so every run starts from the
  # original table and the later edit is newer than the configure step.
  file(MAKE_DIRECTORY "${BINARY_DIR}")
  set(table "${BINARY_DIR}/table.txt")
  file(READ "${QTABLE_FILE}" content)
  file(WRITE "${table}" "${content}")
endif()

set(args -S "${SOURCE_DIR}" -B "${BINARY_DIR}" -G "${GENERATOR}"
    -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_COMPILER=${CXX}" "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
    -DBLOCKWRIGHT_TESTS=OFF -DBLOCKWRIGHT_BENCH=OFF "-DBLOCKWRIGHT_SANITIZE=${SANITIZE}"
    "-DBLOCKWRIGHT_QUALITY=${QUALITY}")
if(table)
  list(APPEND args "-DBLOCKWRIGHT_QTABLE_FILE=${table}")
endif()
run("configuring" "${CMAKE_COMMAND}" ${args})
run("building" "${CMAKE_COMMAND}" --build "${BINARY_DIR}" --target blockwright)

if(ALT_TABLE)
  file(COPY_FILE "${BINARY_DIR}/programs/blockwright" "${BINARY_DIR}/blockwright.before")
  file(COPY_FILE "${BINARY_DIR}/lib/generated/qu.inc" "${BINARY_DIR}/qu.before.inc")
  file(READ "${ALT_TABLE}" content)
  file(WRITE "${table}" "${content}")
  run("rebuilding after the table changed" "${CMAKE_COMMAND}" --build "${BINARY_DIR}" --target blockwright)
endif()
