# Fails when the program's writable static data (every allocated, writable
# section, as `size` counts data + bss) exceeds LIMIT bytes.
execute_process(COMMAND "${READELF}" -S -W "${PROGRAM}" OUTPUT_VARIABLE sections RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "readelf failed on ${PROGRAM}")
endif()
set(total 0)
string(REPLACE "\n" ";" lines "${sections}")
foreach(line IN LISTS lines)
  # [Nr] Name Type Address Off Size ES Flg Lk Inf Al
  if(line MATCHES "^ *\\[ *[0-9]+\\] +([^ ]+) +[A-Z_0-9]+ +[0-9a-f]+ +[0-9a-f]+ +([0-9a-f]+) +[0-9a-f]+ +([A-Za-z]*)")
    set(name "${CMAKE_MATCH_1}")
    math(EXPR size "0x${CMAKE_MATCH_2}")
    set(flags "${CMAKE_MATCH_3}")
    if(flags MATCHES "W" AND flags MATCHES "A")
      math(EXPR total "${total} + ${size}")
      string(APPEND found " ${name}=${size}")
    endif()
  endif()
endforeach()
message(STATUS "writable static data: ${total} bytes:${found}")
if(total EQUAL 0 OR total GREATER LIMIT)
  message(FATAL_ERROR "writable static data is ${total} bytes, more than ${LIMIT}")
endif()

# Nor does it take anything from the C++ run-time: the library needs none,
# and loading it costs the whole process more instructions than coding a
# tenth of the frame. (A linker without --as-needed may still list it.)
execute_process(COMMAND "${READELF}" --dyn-syms -W "${PROGRAM}" OUTPUT_VARIABLE symbols)
if(symbols MATCHES "UND [^\n]*@(GLIBCXX|CXXABI)_")
  message(FATAL_ERROR "${PROGRAM} takes symbols from libstdc++")
endif()
