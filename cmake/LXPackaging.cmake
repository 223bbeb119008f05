# Desktop integration and the packages.
#
# Packages hold the version directory under the client folder
# (/opt/orvalo), a command on the user's
# path that links to the installed launcher, and a desktop entry.

configure_file("${PROJECT_SOURCE_DIR}/packaging/orvalo.desktop.in"
  "${CMAKE_BINARY_DIR}/packaging/${LX_CLIENT_NAME}.desktop" @ONLY)

install(FILES "${CMAKE_BINARY_DIR}/packaging/${LX_CLIENT_NAME}.desktop"
  DESTINATION "/usr/share/applications" COMPONENT Integration)
# The link's target is the final location, whatever DESTDIR stages it in.
install(CODE "
  set(lx_link \"\$ENV{DESTDIR}/usr/bin/${LX_CLIENT_NAME}\")
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}/usr/bin\")
  file(REMOVE \"\${lx_link}\")
  message(STATUS \"Installing: \${lx_link}\")
  file(CREATE_LINK \"\${CMAKE_INSTALL_PREFIX}/${LX_INSTALL_VERSION_DIR}/launcher\" \"\${lx_link}\" SYMBOLIC)
  " COMPONENT Integration)

set(CPACK_PACKAGE_NAME "${LX_CLIENT_NAME}-client")
set(CPACK_PACKAGE_VENDOR "LX")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop trading client")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "LX client release engineering <release@lx.invalid>")
set(CPACK_GENERATOR "TGZ;DEB")
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-Linux-x86_64")
# Absolute destinations (the link, the desktop entry) need DESTDIR staging.
# Packages always install into the client folder, whatever prefix this
# build tree was configured with for local installs.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "/opt/${LX_CLIENT_NAME}")
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${CMAKE_BINARY_DIR};${PROJECT_NAME};Runtime;/"
  "${CMAKE_BINARY_DIR};${PROJECT_NAME};Integration;/")
set(CPACK_STRIP_FILES ON)
# The archive unpacks as a root overlay: opt/, usr/.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Our own libraries ship beside the launcher, not as packages.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${LX_STAGE_DIR}")
# The launcher runs the client on X11.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5gui5")

include(CPack)
