# Generation in separate processes (HELPER is same_seed_main.cpp): two runs
# with the same seed give the same ids, and the ids written below, which any
# machine must give (the forward pass and the sampler use only the library's
# own arithmetic); another seed gives other ids; a run saved after 20 ids and
# resumed by a third process continues with the ids of the uninterrupted run.
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
set(expected "48 137 228 193 193 193 193 193 193 30 209 48 212 186 58 232 79 223 87 80 80 239 248 248 248 218 151 95 95 95 95 95 64 229 150 73 73 73 73 94 94 94 195 195 195 195 94 94")
if(NOT first STREQUAL expected)
  message(FATAL_ERROR "seed 7 gave other ids than on the machine that wrote this test:\n${first}\n${expected}")
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
