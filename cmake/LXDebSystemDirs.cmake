# Run by cpack after it has built the Debian packages. CPack puts every parent
# directory of a packaged file into the data archive, so a package would own
# /opt: dpkg would then remove the system's /opt with the last package owning
# it. Takes the entries of the directories the system makes itself (listed in
# CPACK_LX_DEB_SYSTEM_DIRS) out again; dpkg creates a missing parent
# directory without owning it.
find_program(lx_ar ar REQUIRED)
find_program(lx_tar tar REQUIRED)
find_program(lx_gzip gzip REQUIRED)

function(lx_run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY "${lx_work}" RESULT_VARIABLE lx_status
    OUTPUT_VARIABLE lx_out ERROR_VARIABLE lx_err)
  if(NOT lx_status EQUAL 0)
    message(FATAL_ERROR "${ARGN}: ${lx_status}\n${lx_out}${lx_err}")
  endif()
  set(lx_out "${lx_out}" PARENT_SCOPE)
endfunction()

foreach(lx_deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT lx_deb MATCHES "\\.deb$")
    continue()
  endif()
  set(lx_work "${lx_deb}.repack")
  file(REMOVE_RECURSE "${lx_work}")
  file(MAKE_DIRECTORY "${lx_work}")
  lx_run("${lx_ar}" t "${lx_deb}")
  string(REPLACE "\n" ";" lx_members "${lx_out}")
  list(REMOVE_ITEM lx_members "")
  if(NOT lx_members MATCHES "^debian-binary;control\\.tar\\.[a-z]+;data\\.tar\\.gz$")
    message(FATAL_ERROR "${lx_deb}: unexpected members ${lx_members}")
  endif()
  lx_run("${lx_ar}" x "${lx_deb}")
  lx_run("${lx_tar}" -tzf data.tar.gz)
  string(REPLACE "\n" ";" lx_entries "${lx_out}")
  list(REMOVE_ITEM lx_entries "")
  set(lx_drop "")
  foreach(lx_dir IN LISTS CPACK_LX_DEB_SYSTEM_DIRS)
    if(".${lx_dir}/" IN_LIST lx_entries)
      list(APPEND lx_drop ".${lx_dir}/")
    endif()
  endforeach()
  if(lx_drop)
    message(STATUS "${lx_deb}: leaving the system's ${lx_drop} out of the data archive")
    # Made again from the unpacked files in their order, every entry but
    # those (tar --delete is not safe on these archives).
    list(REMOVE_ITEM lx_entries ${lx_drop})
    list(JOIN lx_entries "\n" lx_list)
    file(WRITE "${lx_work}/entries" "${lx_list}\n")
    file(MAKE_DIRECTORY "${lx_work}/data")
    lx_run("${lx_tar}" -xpzf data.tar.gz -C data)
    lx_run("${lx_tar}" -cf data.tar -C data --no-recursion --format=gnu --owner=root:0 --group=root:0
      -T "${lx_work}/entries")
    file(REMOVE "${lx_work}/data.tar.gz")
    lx_run("${lx_gzip}" -9n data.tar)
    # The order of the members is part of the format.
    lx_run("${lx_ar}" rcD "${lx_deb}.new" ${lx_members})
    file(RENAME "${lx_deb}.new" "${lx_deb}")
  endif()
  file(REMOVE_RECURSE "${lx_work}")
endforeach()
