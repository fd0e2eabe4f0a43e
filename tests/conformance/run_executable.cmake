# Runs the conformance executable and compares what it writes with the one
# summary line users see on success.
execute_process(COMMAND ${EXECUTABLE}
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)
file(READ ${EXPECTED_FILE} expected)
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "exit status ${status}; standard error:\n${err}")
endif()
if(NOT err STREQUAL "")
  message(FATAL_ERROR "standard error is not empty:\n${err}")
endif()
if(NOT out STREQUAL expected)
  message(FATAL_ERROR "standard output differs:\n[${out}]\nexpected:\n[${expected}]")
endif()
