# Places a shipped target in the staged version directory of the build tree,
# so the build tree is itself a runnable installation. Its run paths are the
# installed ones: every shipped file finds the others beside it through
# $ORIGIN, and nothing of the build tree's own (no build directory, no empty
# entry that would mean the working directory) is written into it.
function(lx_stage target)
  set_target_properties(${target} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY "${LX_STAGE_DIR}"
    LIBRARY_OUTPUT_DIRECTORY "${LX_STAGE_DIR}"
    BUILD_WITH_INSTALL_RPATH ON)
endfunction()
