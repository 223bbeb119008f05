# Run by cpack on the staged files before it builds the Debian packages:
# DESTDIR staging creates the install prefix (/opt/orvalo) in every package,
# and a package with nothing under it must not own it.
file(GLOB_RECURSE lx_dirs LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/*")
# Children sort after their parents, so going backwards empties parents first.
list(SORT lx_dirs ORDER DESCENDING)
foreach(lx_dir IN LISTS lx_dirs)
  if(IS_DIRECTORY "${lx_dir}" AND NOT IS_SYMLINK "${lx_dir}")
    file(GLOB lx_entries "${lx_dir}/*" "${lx_dir}/.*")
    if(NOT lx_entries)
      file(REMOVE_RECURSE "${lx_dir}")
    endif()
  endif()
endforeach()
