# Derives the quantizer table the encoder is built with, at configure time.
#
# blockwright_quant_tables(<table file> <quality> <output folder>) reads the
# base table (64 values in natural order, '#' starts a comment), scales it by
# the quality and writes, in zigzag order:
#   dqt.hex  the table as recipgen reads it (two hex digits a value)
#   dqt.inc  the table as a C++ initializer list for the stream header
# and base.inc, the base table itself in natural order, from which the
# encoder derives the tables of other qualities at run time.
# The reciprocal table qu.inc is made from dqt.hex by recipgen at build time,
# so the header and the reciprocals always come from the same 64 values.

set(BLOCKWRIGHT_ZIGZAG
    0 1 8 16 9 2 3 10 17 24 32 25 18 11 4 5 12 19 26 33 40 48 41 34 27 20 13
    6 7 14 21 28 35 42 49 56 57 50 43 36 29 22 15 23 30 37 44 51 58 59 52 45
    38 31 39 46 53 60 61 54 47 55 62 63)

function(blockwright_quant_tables table_file quality outdir)
  if(NOT quality MATCHES "^[0-9]+$" OR quality LESS 1 OR quality GREATER 100)
    message(FATAL_ERROR "BLOCKWRIGHT_QUALITY must be a whole number from 1 to 100, not '${quality}'")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${table_file}")
  file(STRINGS "${table_file}" lines)
  set(base "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "#.*$" "" line "${line}")
    string(REGEX MATCHALL "[^ \t\r]+" words "${line}")
    foreach(word IN LISTS words)
      if(NOT word MATCHES "^[0-9]+$" OR word LESS 1 OR word GREATER 255)
        message(FATAL_ERROR "${table_file}: '${word}' is not a quantizer value from 1 to 255")
      endif()
      list(APPEND base "${word}")
    endforeach()
  endforeach()
  list(LENGTH base count)
  if(NOT count EQUAL 64)
    message(FATAL_ERROR "${table_file}: holds ${count} values, not 64")
  endif()

  if(quality LESS 50)
    math(EXPR scale "5000 / ${quality}")
  else()
    math(EXPR scale "200 - 2 * ${quality}")
  endif()

  set(hex "")
  set(inc "")
  set(k 0)
  foreach(natural IN LISTS BLOCKWRIGHT_ZIGZAG)
    list(GET base ${natural} v)
    math(EXPR q "(${v} * ${scale} + 50) / 100")
    if(q LESS 1)
      set(q 1)
    elseif(q GREATER 255)
      set(q 255)
    endif()
    math(EXPR h "${q}" OUTPUT_FORMAT HEXADECIMAL)
    string(SUBSTRING "${h}" 2 -1 h)
    string(LENGTH "${h}" hl)
    if(hl EQUAL 1)
      set(h "0${h}")
    endif()
    math(EXPR k "${k} + 1")
    math(EXPR col "${k} % 8")
    if(col EQUAL 0)
      string(APPEND hex "${h}\n")
      string(APPEND inc "${q},\n")
    else()
      string(APPEND hex "${h} ")
      string(APPEND inc "${q}, ")
    endif()
  endforeach()
  list(JOIN base ", " base_inc)
  file(MAKE_DIRECTORY "${outdir}")
  file(CONFIGURE OUTPUT "${outdir}/base.inc" CONTENT "${base_inc}\n")
  # Written only when changed, so that an unchanged table rebuilds nothing.
  file(CONFIGURE OUTPUT "${outdir}/dqt.hex" CONTENT "${hex}")
  file(CONFIGURE OUTPUT "${outdir}/dqt.inc" CONTENT "${inc}")
endfunction()
