# Desktop integration and the packages.
#
# The archive (.tar.gz) is a root overlay: the version directory under the
# client folder (/opt/orvalo), a desktop entry with its icon and software-centre
# data, and a command /usr/bin/orvalo linking to the launcher. The Debian packages keep versions side by side:
# orvalo-client-<a.b.c> holds one version directory and offers its launcher
# as /usr/bin/orvalo through update-alternatives; the metapackage
# orvalo-client depends on the newest one and holds what versions share.

# Where the packages put the version directory.
set(LX_INSTALL_DIR "/opt/${LX_CLIENT_NAME}/${LX_INSTALL_VERSION_DIR}")
set(LX_DEB_META_PACKAGE "${LX_CLIENT_NAME}-client")
set(LX_DEB_VERSIONED_PACKAGE "${LX_DEB_META_PACKAGE}-${LX_VERSION_DIR_NAME}")
# Packages before this version held everything in one package named like the
# metapackage; the versioned packages take its files over and must not be
# configured while it still owns /usr/bin/orvalo as a plain link.
set(LX_DEB_FIRST_SIDE_BY_SIDE_VERSION "16.23.16808")

# The alternatives priority orders versions as a*10^7 + b*10^5 + c, which
# must stay a 32-bit signed number.
if(PROJECT_VERSION_MAJOR GREATER 213 OR PROJECT_VERSION_MINOR GREATER 99 OR PROJECT_VERSION_PATCH GREATER 99999)
  message(FATAL_ERROR "Version ${PROJECT_VERSION} cannot be packaged: the update-alternatives priority "
    "a*10^7 + b*10^5 + c orders versions a.b.c only while a <= 213, b <= 99 and c <= 99999.")
endif()
math(EXPR LX_ALT_PRIORITY "${PROJECT_VERSION_MAJOR} * 10000000 + ${PROJECT_VERSION_MINOR} * 100000 + ${PROJECT_VERSION_PATCH}")
set(LX_ALT_NAME "${LX_CLIENT_NAME}")
set(LX_ALT_LINK "/usr/bin/${LX_CLIENT_NAME}")
set(LX_ALT_PATH "${LX_INSTALL_DIR}/launcher")
set(LX_MAN_PAGE "${LX_CLIENT_NAME}-${LX_VERSION_DIR_NAME}.1")
set(LX_DOCTOR_MAN_PAGE "${LX_CLIENT_NAME}-doctor-${LX_VERSION_DIR_NAME}.1")
# The software centres' name for the client (AppStream component id).
set(LX_APPSTREAM_ID "invalid.lx.${LX_CLIENT_NAME}")
# Links that follow /usr/bin/orvalo to the same version, "link=target"; the
# link's file name names it. update-alternatives does not create their
# directories.
set(LX_ALT_SLAVES
  "/usr/share/man/man1/${LX_CLIENT_NAME}.1.gz=/usr/share/man/man1/${LX_MAN_PAGE}.gz"
  "/usr/bin/${LX_CLIENT_NAME}-doctor=${LX_INSTALL_DIR}/launcher-doctor"
  "/usr/share/man/man1/${LX_CLIENT_NAME}-doctor.1.gz=/usr/share/man/man1/${LX_DOCTOR_MAN_PAGE}.gz")

set(LX_ALT_SLAVE_ARGS "")
foreach(lx_slave IN LISTS LX_ALT_SLAVES)
  string(REPLACE "=" ";" lx_slave "${lx_slave}")
  list(GET lx_slave 0 lx_link)
  list(GET lx_slave 1 lx_target)
  cmake_path(GET lx_link FILENAME lx_slave_name)
  string(APPEND LX_ALT_SLAVE_ARGS " \\\n        --slave ${lx_link} ${lx_slave_name} ${lx_target}")
endforeach()

# --- Files

set(lx_gen "${CMAKE_BINARY_DIR}/packaging")
find_program(LX_GZIP gzip REQUIRED)
find_program(LX_RSVG_CONVERT rsvg-convert REQUIRED)
string(TIMESTAMP lx_man_date "%Y-%m-%d" UTC) # SOURCE_DATE_EPOCH when set
string(TIMESTAMP lx_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(CPACK_PACKAGE_CONTACT "LX client release engineering <release@lx.invalid>")

# gzip -n keeps the name and time out of the archive, for reproducible packages.
set(lx_gzipped "")
function(lx_gzip_at_build input output)
  add_custom_command(OUTPUT "${output}.gz"
    COMMAND "${CMAKE_COMMAND}" -E copy "${input}" "${output}"
    COMMAND "${LX_GZIP}" -9nf "${output}"
    DEPENDS "${input}"
    VERBATIM)
  set(lx_gzipped ${lx_gzipped} "${output}.gz" PARENT_SCOPE)
endfunction()

configure_file("${PROJECT_SOURCE_DIR}/packaging/orvalo.desktop.in" "${lx_gen}/${LX_CLIENT_NAME}.desktop" @ONLY)
configure_file("${PROJECT_SOURCE_DIR}/packaging/orvalo.metainfo.xml.in"
  "${lx_gen}/${LX_APPSTREAM_ID}.metainfo.xml" @ONLY)
configure_file("${PROJECT_SOURCE_DIR}/packaging/orvalo.1.in" "${lx_gen}/${LX_MAN_PAGE}" @ONLY)
lx_gzip_at_build("${lx_gen}/${LX_MAN_PAGE}" "${lx_gen}/gz/${LX_MAN_PAGE}")
configure_file("${PROJECT_SOURCE_DIR}/packaging/orvalo-doctor.1.in" "${lx_gen}/${LX_DOCTOR_MAN_PAGE}" @ONLY)
lx_gzip_at_build("${lx_gen}/${LX_DOCTOR_MAN_PAGE}" "${lx_gen}/gz/${LX_DOCTOR_MAN_PAGE}")
# A 48x48 bitmap beside the scalable icon, for desktops and software
# centres that do not draw SVG.
set(lx_icon_svg "${PROJECT_SOURCE_DIR}/packaging/icons/orvalo.svg")
set(lx_icon_png "${lx_gen}/icons/48x48/${LX_CLIENT_NAME}.png")
add_custom_command(OUTPUT "${lx_icon_png}"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${lx_gen}/icons/48x48"
  COMMAND "${LX_RSVG_CONVERT}" --width 48 --height 48 --format png --output "${lx_icon_png}" "${lx_icon_svg}"
  DEPENDS "${lx_icon_svg}"
  VERBATIM)
foreach(lx_package IN ITEMS ${LX_DEB_VERSIONED_PACKAGE} ${LX_DEB_META_PACKAGE})
  configure_file("${PROJECT_SOURCE_DIR}/packaging/deb/changelog.in" "${lx_gen}/${lx_package}/changelog" @ONLY)
  lx_gzip_at_build("${lx_gen}/${lx_package}/changelog" "${lx_gen}/gz/${lx_package}/changelog")
endforeach()
add_custom_target(lx_package_files ALL DEPENDS ${lx_gzipped} "${lx_icon_png}")
# Everything a package holds; a packaging build needs only these.
add_custom_target(lx_shipped DEPENDS launcher launcher-doctor LxAppStartProcess Sarnel Vantrel Ostrum lx_package_files)

configure_file("${PROJECT_SOURCE_DIR}/packaging/deb/preinst.in" "${lx_gen}/deb/preinst" @ONLY)
configure_file("${PROJECT_SOURCE_DIR}/packaging/deb/postinst.in" "${lx_gen}/deb/postinst" @ONLY)
configure_file("${PROJECT_SOURCE_DIR}/packaging/deb/prerm.in" "${lx_gen}/deb/prerm" @ONLY)
configure_file("${PROJECT_SOURCE_DIR}/packaging/deb/apt.conf.in" "${lx_gen}/deb/50${LX_DEB_META_PACKAGE}" @ONLY)
configure_file("${PROJECT_SOURCE_DIR}/packaging/deb/versioned.lintian-overrides.in"
  "${lx_gen}/deb/${LX_DEB_VERSIONED_PACKAGE}.lintian-overrides" @ONLY)
configure_file("${PROJECT_SOURCE_DIR}/packaging/deb/meta.lintian-overrides.in"
  "${lx_gen}/deb/${LX_DEB_META_PACKAGE}.lintian-overrides" @ONLY)
# CPack marks no file as a conffile by itself.
file(CONFIGURE OUTPUT "${lx_gen}/deb/conffiles" CONTENT "/etc/apt/apt.conf.d/50${LX_DEB_META_PACKAGE}\n")

# --- Install rules

install(FILES "${lx_gen}/${LX_CLIENT_NAME}.desktop"
  DESTINATION "/usr/share/applications" COMPONENT Integration)
install(FILES "${lx_gen}/${LX_APPSTREAM_ID}.metainfo.xml"
  DESTINATION "/usr/share/metainfo" COMPONENT Integration)
install(FILES "${lx_icon_svg}" RENAME "${LX_CLIENT_NAME}.svg"
  DESTINATION "/usr/share/icons/hicolor/scalable/apps" COMPONENT Integration)
install(FILES "${lx_icon_png}"
  DESTINATION "/usr/share/icons/hicolor/48x48/apps" COMPONENT Integration)
# Only the archive has the link; the Debian packages leave it to
# update-alternatives. Its target is the final location, whatever DESTDIR
# stages it in.
install(CODE "
  set(lx_link \"\$ENV{DESTDIR}/usr/bin/${LX_CLIENT_NAME}\")
  file(MAKE_DIRECTORY \"\$ENV{DESTDIR}/usr/bin\")
  file(REMOVE \"\${lx_link}\")
  message(STATUS \"Installing: \${lx_link}\")
  file(CREATE_LINK \"\${CMAKE_INSTALL_PREFIX}/${LX_INSTALL_VERSION_DIR}/launcher\" \"\${lx_link}\" SYMBOLIC)
  " COMPONENT CommandLink)

# What only the Debian packages hold; a plain "cmake --install" leaves it out.
install(FILES "${lx_gen}/gz/${LX_MAN_PAGE}.gz" "${lx_gen}/gz/${LX_DOCTOR_MAN_PAGE}.gz"
  DESTINATION "/usr/share/man/man1" COMPONENT Manual EXCLUDE_FROM_ALL)
install(FILES "${PROJECT_SOURCE_DIR}/packaging/deb/copyright" "${lx_gen}/gz/${LX_DEB_VERSIONED_PACKAGE}/changelog.gz"
  DESTINATION "/usr/share/doc/${LX_DEB_VERSIONED_PACKAGE}" COMPONENT VersionedDocs EXCLUDE_FROM_ALL)
install(FILES "${lx_gen}/deb/${LX_DEB_VERSIONED_PACKAGE}.lintian-overrides" RENAME "${LX_DEB_VERSIONED_PACKAGE}"
  DESTINATION "/usr/share/lintian/overrides" COMPONENT VersionedDocs EXCLUDE_FROM_ALL)
install(FILES "${lx_gen}/deb/50${LX_DEB_META_PACKAGE}"
  DESTINATION "/etc/apt/apt.conf.d" COMPONENT MetaFiles EXCLUDE_FROM_ALL)
install(FILES "${PROJECT_SOURCE_DIR}/packaging/deb/copyright" "${lx_gen}/gz/${LX_DEB_META_PACKAGE}/changelog.gz"
  DESTINATION "/usr/share/doc/${LX_DEB_META_PACKAGE}" COMPONENT MetaFiles EXCLUDE_FROM_ALL)
install(FILES "${lx_gen}/deb/${LX_DEB_META_PACKAGE}.lintian-overrides" RENAME "${LX_DEB_META_PACKAGE}"
  DESTINATION "/usr/share/lintian/overrides" COMPONENT MetaFiles EXCLUDE_FROM_ALL)

# --- CPack

set(CPACK_PACKAGE_NAME "${LX_DEB_META_PACKAGE}")
set(CPACK_PACKAGE_VENDOR "LX")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop trading client")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_GENERATOR "TGZ;DEB")
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-Linux-x86_64")
# Absolute destinations (the link, the desktop entry) need DESTDIR staging.
# Packages always install into the client folder, whatever prefix this
# build tree was configured with for local installs.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "/opt/${LX_CLIENT_NAME}")
# The archive: one root overlay (opt/, usr/).
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${CMAKE_BINARY_DIR};${PROJECT_NAME};Runtime;/"
  "${CMAKE_BINARY_DIR};${PROJECT_NAME};Integration;/"
  "${CMAKE_BINARY_DIR};${PROJECT_NAME};CommandLink;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)

# The Debian packages: one per component group, chosen in the project
# config file so the archive keeps its single overlay.
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/cmake/LXCPackProjectConfig.cmake")
set(CPACK_LX_DEB_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/")
set(CPACK_LX_DEB_COMPONENTS Runtime Manual VersionedDocs Integration MetaFiles)
set(CPACK_LX_DEB_PRE_BUILD_SCRIPT "${PROJECT_SOURCE_DIR}/cmake/LXPruneEmptyDirs.cmake")
set(CPACK_LX_DEB_POST_BUILD_SCRIPT "${PROJECT_SOURCE_DIR}/cmake/LXDebSystemDirs.cmake")
# Directories base-files makes in its postinst and no package owns.
set(CPACK_LX_DEB_SYSTEM_DIRS /opt /etc/opt /var/opt /srv /mnt /media /usr/local)
set(CPACK_COMPONENT_RUNTIME_GROUP Versioned)
set(CPACK_COMPONENT_MANUAL_GROUP Versioned)
set(CPACK_COMPONENT_VERSIONEDDOCS_GROUP Versioned)
set(CPACK_COMPONENT_INTEGRATION_GROUP Meta)
set(CPACK_COMPONENT_METAFILES_GROUP Meta)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(lx_old_layout "${LX_DEB_META_PACKAGE} (<< ${LX_DEB_FIRST_SIDE_BY_SIDE_VERSION}~)")

set(CPACK_DEBIAN_VERSIONED_PACKAGE_NAME "${LX_DEB_VERSIONED_PACKAGE}")
set(CPACK_DEBIAN_VERSIONED_PACKAGE_SHLIBDEPS ON)
# Our own libraries ship beside the launcher, not as packages.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${LX_STAGE_DIR}")
set(CPACK_DEBIAN_VERSIONED_PACKAGE_BREAKS "${lx_old_layout}")
set(CPACK_DEBIAN_VERSIONED_PACKAGE_REPLACES "${lx_old_layout}")
set(CPACK_DEBIAN_VERSIONED_PACKAGE_CONTROL_EXTRA "${lx_gen}/deb/preinst;${lx_gen}/deb/postinst;${lx_gen}/deb/prerm")
set(CPACK_DEBIAN_VERSIONED_DESCRIPTION "Desktop trading client, version ${LX_VERSION_DIR_NAME}
The launcher, the main application and the libraries of version
${PROJECT_VERSION} of the desktop trading client, in
${LX_INSTALL_DIR} beside any other installed version.
It offers its launcher as the command ${LX_CLIENT_NAME} through
update-alternatives; in automatic mode the newest installed version wins.

When a version's main application cannot be loaded, its launcher starts the
newest older installed version instead. Older versions therefore stay
installed when ${LX_DEB_META_PACKAGE} moves on, until removed by name.")

set(CPACK_DEBIAN_META_PACKAGE_NAME "${LX_DEB_META_PACKAGE}")
set(CPACK_DEBIAN_META_PACKAGE_ARCHITECTURE "all")
set(CPACK_DEBIAN_META_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_META_PACKAGE_DEPENDS "${LX_DEB_VERSIONED_PACKAGE} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_META_PACKAGE_CONTROL_EXTRA "${lx_gen}/deb/conffiles")
set(CPACK_DEBIAN_META_DESCRIPTION "Desktop trading client (newest version)
This metapackage depends on the newest version of the desktop trading
client and installs its desktop entry, icon and software-centre data.
Upgrading it installs each new version, as ${LX_DEB_META_PACKAGE}-<a.b.c>,
beside the versions already installed, and keeps apt autoremove from
removing those: the client falls back to an older version when the newest
one cannot start.")

include(CPack)
