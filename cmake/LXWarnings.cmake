# One warnings policy, applied per target; LX_WERROR makes them errors.
function(lx_set_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wold-style-cast
    -Wcast-align -Woverloaded-virtual -Wconversion -Wsign-conversion
    -Wnull-dereference -Wformat=2
    $<$<BOOL:${LX_WERROR}>:-Werror>)
endfunction()
