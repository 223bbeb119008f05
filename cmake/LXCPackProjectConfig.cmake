# Read by cpack for each generator. The Debian packages are built one per
# component group; the archive keeps its single root overlay.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_LX_DEB_PROJECTS}")
  set(CPACK_COMPONENTS_ALL ${CPACK_LX_DEB_COMPONENTS})
  # Each package's description brings its own synopsis; a shared summary
  # would be put in front of both.
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
  set(CPACK_PRE_BUILD_SCRIPTS "${CPACK_LX_DEB_PRE_BUILD_SCRIPT}")
  set(CPACK_POST_BUILD_SCRIPTS "${CPACK_LX_DEB_POST_BUILD_SCRIPT}")
endif()
