# Debian's hardening (what dpkg-buildflags gives for hardening=+all), applied
# per shipped target, static libraries linked into them included.
#   lx_set_hardening(target [LAZY_BINDING])
# LAZY_BINDING leaves out immediate binding: for libraries the launcher
# dlopen()s with RTLD_LAZY, where DF_BIND_NOW would override that choice.

# Whether the build fortifies (a generator expression, 1 or 0): it needs
# optimisation, and the sanitizers check these calls themselves (their
# interceptors do not cover the fortified variants).
set(LX_FORTIFY "$<AND:$<NOT:$<BOOL:${LX_SANITIZE}>>,$<NOT:$<BOOL:${LX_BUILD_FUZZ}>>,$<NOT:$<CONFIG:Debug>>>")

function(lx_set_hardening target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "LAZY_BINDING" "" "")
  target_compile_options(${target} PRIVATE -fstack-protector-strong -Wformat -Werror=format-security
    "$<${LX_FORTIFY}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  get_target_property(lx_type ${target} TYPE)
  if(lx_type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY)$")
    target_link_options(${target} PRIVATE "LINKER:-z,relro")
    if(NOT arg_LAZY_BINDING)
      target_link_options(${target} PRIVATE "LINKER:-z,now")
    endif()
  endif()
endfunction()
