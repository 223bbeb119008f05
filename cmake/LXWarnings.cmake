# One warnings policy, applied per target; LX_WERROR makes them errors,
# except under the sanitizers, whose instrumentation makes GCC report
# -Wmaybe-uninitialized inside the standard library's own headers.
function(lx_set_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wold-style-cast
    -Wcast-align -Woverloaded-virtual -Wconversion -Wsign-conversion
    -Wnull-dereference -Wformat=2
    $<$<AND:$<BOOL:${LX_WERROR}>,$<NOT:$<BOOL:${LX_SANITIZE}>>>:-Werror>)
endfunction()
