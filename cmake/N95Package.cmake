# How the installed tree is found and packed: the CMake package (find_package(N95 CONFIG)),
# the pkg-config file (pkg-config n95) and the Debian package (CPack, scripts/package.sh).
include(CMakePackageConfigHelpers)

# The plug-in's installed file name, for hosts that load it: the SONAME on Linux.
if(WIN32)
  set(N95_PLUGIN_FILE_NAME "N95.dll")
else()
  set(N95_PLUGIN_FILE_NAME "libN95.so.${PROJECT_VERSION_MAJOR}")
endif()

# The targets join the export set where they are defined (records/, decoder/, the top).
install(EXPORT N95Targets NAMESPACE N95:: DESTINATION "${N95_INSTALL_CMAKEDIR}")
configure_package_config_file(cmake/N95Config.cmake.in "${PROJECT_BINARY_DIR}/N95Config.cmake"
                              INSTALL_DESTINATION "${N95_INSTALL_CMAKEDIR}"
                              PATH_VARS N95_INSTALL_PLUGINDIR)
# 0.x releases may change the contract between minor versions; 1.0 on, the major counts.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(n95Compatibility SameMinorVersion)
else()
  set(n95Compatibility SameMajorVersion)
endif()
write_basic_package_version_file("${PROJECT_BINARY_DIR}/N95ConfigVersion.cmake"
                                 COMPATIBILITY ${n95Compatibility} ARCH_INDEPENDENT)
install(FILES "${PROJECT_BINARY_DIR}/N95Config.cmake" "${PROJECT_BINARY_DIR}/N95ConfigVersion.cmake"
        DESTINATION "${N95_INSTALL_CMAKEDIR}")

# pkg-config: the prefix is found from the .pc file's own place, so the tree is relocatable.
file(RELATIVE_PATH N95_PC_PREFIX_FROM_PCDIR "/prefix/${N95_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" N95_PC_PREFIX_FROM_PCDIR "${N95_PC_PREFIX_FROM_PCDIR}")
configure_file(cmake/n95.pc.in "${PROJECT_BINARY_DIR}/n95.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/n95.pc" DESTINATION "${N95_INSTALL_LIBDIR}/pkgconfig")

if(WIN32)
  # The Windows SDK is a zip that scripts/package.sh makes from an installed tree.
  return()
endif()

# The Debian package's own documents: its copyright and its (native package's) changelog.
string(TIMESTAMP N95_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(cmake/debian/changelog.in "${PROJECT_BINARY_DIR}/debian/changelog" @ONLY)
add_custom_command(OUTPUT "${PROJECT_BINARY_DIR}/debian/changelog.gz"
  COMMAND gzip -9nkf "${PROJECT_BINARY_DIR}/debian/changelog"
  DEPENDS "${PROJECT_BINARY_DIR}/debian/changelog"
  VERBATIM)
add_custom_target(n95_debian_changelog ALL DEPENDS "${PROJECT_BINARY_DIR}/debian/changelog.gz")
install(FILES cmake/debian/copyright "${PROJECT_BINARY_DIR}/debian/changelog.gz"
        DESTINATION "${N95_INSTALL_DOCDIR}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME n95)
set(CPACK_PACKAGE_VENDOR "N95 plug-in developers")
set(CPACK_PACKAGE_CONTACT "N95 plug-in developers <n95-dev@example.org>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
# Lines of at most 80 characters, and no package name first (lintian).
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "handset plug-in for drive-test hosts (Nokia N95), SDK, tools")
set(CPACK_PACKAGE_DESCRIPTION
    "The plug-in library that a radio-network drive-test host loads to serve
the Nokia N95 (GSM and WCDMA): it switches the handset's binary trace on
and off, cuts the trace into frames, decodes them and hands measurement
records to the host.
.
Also included: the headers and record unit a host builds against (CMake
package N95, pkg-config n95), the reference host n95host (replay, live
runs, AT commands), the drive simulator n95sim, and a Wireshark dissector
for the trace captures.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# lintian wants 0755 directories and no group-writable files, whatever the umask.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
# `make install` and CPack install what has been built, without building every test program
# first: scripts/package.sh builds the installed targets alone.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
