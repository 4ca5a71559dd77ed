# Runs PROGRAM with ARGS and expects exit code 2 and PATTERN in its stderr.
string(REPLACE "|" ";" ARGS "${ARGS}")
execute_process(COMMAND ${PROGRAM} ${ARGS} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 30)
if(NOT code EQUAL 2)
  message(FATAL_ERROR "${PROGRAM} ${ARGS}: exit ${code}, expected 2\n${out}${err}")
endif()
if(NOT err MATCHES "${PATTERN}")
  message(FATAL_ERROR "${PROGRAM} ${ARGS}: stderr does not name ${PATTERN}:\n${err}")
endif()
