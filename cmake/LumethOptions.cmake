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
