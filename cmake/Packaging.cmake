# Packages of the installed tree: `cpack --preset linux` (.tar.gz and .deb
# from the default build) and `cpack --preset windows` (one .zip of the x64
# and x86 builds, each in a folder of its own; see CMakePresets.json).
set(CPACK_PACKAGE_NAME PELK_UserMapCopy)
set(CPACK_PACKAGE_VENDOR "PELK")
set(CPACK_PACKAGE_CONTACT "PELK map tools <maptools@pelk.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Map package installer module and pelk-mapcopy, the map-card tool")
set(CPACK_PACKAGE_DESCRIPTION "PELK_UserMapCopy empties the device folder MassStorage, copies the map
package SDMMC/PreDLMap into it and checks the package sum against
checksum.ini. pelk-mapcopy seals, verifies and test-installs map cards.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(WIN32)
  set(CPACK_SYSTEM_NAME windows)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ)
endif()
# Packages carry stripped binaries; the build trees keep the debug information.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_NAME pelk-usermapcopy)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the binaries' own needs (dpkg-shlibdeps, package dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
