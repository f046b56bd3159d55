# Runs recipgen on a quantizer table and keeps its standard output as the
# encoder's reciprocal table. Invoked as
#   cmake -DRECIPGEN=<exe> [-DEMULATOR=<emulator;args>] -DIN=<dqt.hex>
#         -DOUT=<qu.inc> -P run_recipgen.cmake
# EMULATOR runs recipgen when it is built for another CPU. The diagnostic
# lines recipgen prints go to <qu.inc>.log.
execute_process(
  COMMAND ${EMULATOR} "${RECIPGEN}"
  INPUT_FILE "${IN}"
  OUTPUT_FILE "${OUT}.tmp"
  ERROR_FILE "${OUT}.log"
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  file(READ "${OUT}.log" why)
  file(REMOVE "${OUT}.tmp")
  message(FATAL_ERROR "recipgen failed on ${IN}: ${rc} ${why}")
endif()
file(RENAME "${OUT}.tmp" "${OUT}")
