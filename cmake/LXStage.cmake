# Places a shipped target in the staged version directory of the build tree,
# so the build tree is itself a runnable installation.
function(lx_stage target)
  set_target_properties(${target} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY "${LX_STAGE_DIR}"
    LIBRARY_OUTPUT_DIRECTORY "${LX_STAGE_DIR}")
endfunction()
