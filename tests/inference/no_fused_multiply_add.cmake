# Disassembles LIBRARY with OBJDUMP and fails when any fused multiply-add
# instruction appears, or when no 512-bit vector register is used at all.
execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn ${LIBRARY}
  OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${LIBRARY}")
endif()
string(REGEX MATCH "[ \t]vf(n)?m(add|sub|addsub|subadd)[0-9a-z]*[ \t][^\n]*" fused "${listing}")
if(fused)
  message(FATAL_ERROR "fused multiply-add in the library: ${fused}")
endif()
string(FIND "${listing}" "%zmm" zmm)
if(zmm EQUAL -1)
  message(FATAL_ERROR "no 512-bit kernel code in the library")
endif()
message(STATUS "no fused multiply-add")
