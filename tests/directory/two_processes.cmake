# Runs the round-trip helper twice, as two processes: "save" writes a model
# directory and what the model computes, "check" loads the directory and
# compares.
file(REMOVE_RECURSE ${DIRECTORY})
foreach(step IN ITEMS save check)
  execute_process(COMMAND ${HELPER} ${step} ${DIRECTORY}
    RESULT_VARIABLE status
    OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
  if(NOT status STREQUAL "0")
    message(FATAL_ERROR "${step} failed with status ${status}:\n${out}${err}")
  endif()
  message(STATUS "${step}: ${out}")
endforeach()
