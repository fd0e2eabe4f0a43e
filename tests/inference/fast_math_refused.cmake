# Compiles CONSUMER, a source that includes the inference headers, with
# COMPILER and the include root SOURCE_DIR. It must compile as it is, and with
# -Ofast or -ffast-math followed by the library's usage requirements OPTIONS
# (what a consumer gets when a parent project puts fast math in
# CMAKE_CXX_FLAGS); it must stop with the strict-arithmetic error under
# -ffast-math, -Ofast or -ffinite-math-only alone.
separate_arguments(library_options UNIX_COMMAND "${OPTIONS}")
set(refusal "Lumeth needs strict IEEE floating point")

function(compile expectation)
  execute_process(
    COMMAND ${COMPILER} -std=c++20 -fsyntax-only -I${SOURCE_DIR} ${ARGN} ${CONSUMER}
    RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(expectation STREQUAL "compiles")
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "options '${ARGN}' should compile:\n${output}")
    endif()
  else()
    string(FIND "${output}" "${refusal}" found)
    if(status EQUAL 0 OR found EQUAL -1)
      message(FATAL_ERROR "options '${ARGN}' should be refused with '${refusal}':\n${output}")
    endif()
  endif()
endfunction()

compile(compiles)
compile(compiles ${library_options})
compile(compiles -ffast-math ${library_options})
compile(compiles -Ofast ${library_options})
compile(refused -ffast-math)
compile(refused -Ofast)
compile(refused -ffinite-math-only)
message(STATUS "fast math refused, and overridden by the library's options")
