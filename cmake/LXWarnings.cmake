# One warnings policy, applied per target.
function(lx_set_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wold-style-cast
    -Wcast-align -Woverloaded-virtual -Wconversion -Wsign-conversion
    -Wnull-dereference -Wformat=2)
endfunction()

# Places a shipped target in the staged version directory of the build tree.
function(lx_stage target)
  set_target_properties(${target} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY "${LX_STAGE_DIR}"
    LIBRARY_OUTPUT_DIRECTORY "${LX_STAGE_DIR}")
endfunction()
