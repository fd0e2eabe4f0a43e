# Build settings shared by every Lumeth target.

# Sanitizers cover the library, the conformance code, the tests and their
# dependencies compiled here, so they are set for the whole tree.
if(LUMETH_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()

# Never -ffast-math, -Ofast or -march=native: they change the bits of results.
set(LUMETH_WARNINGS
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -Wnon-virtual-dtor -Woverloaded-virtual -Wcast-align
  -Wdouble-promotion -Wimplicit-fallthrough -Werror)

# Applies the project's own warnings to one of our targets. Warnings are a
# concern of this project only: a parent project that adds Lumeth with
# add_subdirectory keeps its own flags.
function(lumeth_apply_project_settings target)
  set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
  if(PROJECT_IS_TOP_LEVEL)
    target_compile_options(${target} PRIVATE ${LUMETH_WARNINGS})
  endif()
endfunction()

# libFuzzer targets: clang only. The library and the conformance code get the
# fuzzer's coverage instrumentation and both sanitizers, so a fault anywhere
# under a target is reported where it happens; the fuzz targets themselves link
# the libFuzzer driver (fuzz/CMakeLists.txt).
if(LUMETH_BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR
      "LUMETH_BUILD_FUZZERS needs clang++ (found ${CMAKE_CXX_COMPILER_ID}); configure with "
      "CC=clang CXX=clang++ in a fresh build directory")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()
