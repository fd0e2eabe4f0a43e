# Generation in separate processes (HELPER is same_seed_main.cpp): two runs
# with the same seed give the same ids, another seed gives other ids, and a
# run saved after K ids and resumed by a third process continues with the
# ids of the uninterrupted run.
function(helper out)
  execute_process(COMMAND ${HELPER} ${ARGN}
    RESULT_VARIABLE status OUTPUT_VARIABLE ids ERROR_VARIABLE err
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status STREQUAL "0")
    message(FATAL_ERROR "${ARGN} failed with status ${status}: ${err}")
  endif()
  set(${out} "${ids}" PARENT_SCOPE)
endfunction()

helper(first run 7 48)
helper(second run 7 48)
if(NOT first STREQUAL second OR first STREQUAL "")
  message(FATAL_ERROR "seed 7 gave different ids in two processes:\n${first}\n${second}")
endif()
helper(other run 8 48)
if(other STREQUAL first)
  message(FATAL_ERROR "seeds 7 and 8 gave the same ids: ${first}")
endif()

file(REMOVE ${FILE})
helper(head save 7 20 ${FILE})
helper(tail resume ${FILE} 28)
if(NOT "${head} ${tail}" STREQUAL first)
  message(FATAL_ERROR "the resumed run differs:\n${head} | ${tail}\n${first}")
endif()
message(STATUS "seed 7: ${first}")
