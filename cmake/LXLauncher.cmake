# lx_add_launcher_version(<target> <a.b.c.d>)
# An object library of one generated source holding the launcher's version:
# the constant the launcher's code reads and the ELF note tools read. Whatever
# runs the launcher's code (the launcher, its tests, its benchmark) links one.
function(lx_add_launcher_version target version)
  if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "A launcher version is four numbers a.b.c.d, not \"${version}\"")
  endif()
  set(lx_version "${version}")
  set(lx_major "${CMAKE_MATCH_1}")
  set(lx_minor "${CMAKE_MATCH_2}")
  set(lx_patch "${CMAKE_MATCH_3}")
  set(lx_tweak "${CMAKE_MATCH_4}")
  set(lx_source "${CMAKE_CURRENT_BINARY_DIR}/${target}.cpp")
  configure_file("${CMAKE_CURRENT_FUNCTION_LIST_DIR}/LXLauncherVersion.cpp.in" "${lx_source}" @ONLY)
  add_library(${target} OBJECT "${lx_source}")
  target_link_libraries(${target} PUBLIC LX::LauncherCore)
  lx_set_warnings(${target})
  lx_set_hardening(${target})
endfunction()

# lx_add_launcher(<target> <version-library>)
# The launcher program with the version of a lx_add_launcher_version library;
# a test builds one of another version than the project's.
function(lx_add_launcher target version_library)
  add_executable(${target} "${PROJECT_SOURCE_DIR}/Src/LXMain/Launcher/main.cpp")
  target_link_libraries(${target} PRIVATE ${version_library} LX::LauncherCore LX::LauncherHooksLinux)
  lx_set_warnings(${target})
  lx_set_hardening(${target})
  # The client library's own dependencies resolve from the launcher's
  # directory. DT_RPATH rather than DT_RUNPATH, since only DT_RPATH also
  # applies to the dependencies of a dlopen'ed library; no "." entry, so
  # nothing in the user's current directory can be loaded.
  set_target_properties(${target} PROPERTIES
    BUILD_WITH_INSTALL_RPATH ON
    INSTALL_RPATH "$ORIGIN")
  target_link_options(${target} PRIVATE "LINKER:--disable-new-dtags")
endfunction()
