# Installing the program with its desktop integration, and the Debian package
# built from that install by `make package` (CPack's DEB generator).
include(GNUInstallDirs)

# One reverse-DNS id names the desktop entry, the AppStream component and the
# metainfo file; the icon keeps the program's plain name.
set(GLIMMER_APP_ID "io.github.glimmerfeld.Glimmerfeld")
set(GLIMMER_MAINTAINER "Glimmerfeld maintainers <glimmerfeld@users.noreply.github.com>"
    CACHE STRING "The Maintainer field of the Debian package")

install(TARGETS glimmerfeld RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES data/${GLIMMER_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES data/${GLIMMER_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# Drawn by tools/make_icon.cpp and committed, so installing needs no generator.
install(DIRECTORY data/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)

if(GLIMMER_TESTS_BUILT)
  add_subdirectory(tools)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME glimmerfeld)
set(CPACK_PACKAGE_VENDOR "Glimmerfeld")
set(CPACK_PACKAGE_CONTACT "${GLIMMER_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Wrapped by hand: dpkg shows the lines as they are.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Glimmerfeld sprays bright points of random colour onto a black window,\n"
  "hundreds at a time, and never clears them, so the field slowly fills\n"
  "with light. A white ring drifts across the window and wraps around at\n"
  "its edges.")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://github.com/glimmerfeld/glimmerfeld")
set(CPACK_STRIP_FILES ON)
# The package lands next to the program, as build/<name>_<version>_<arch>.deb.
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${GLIMMER_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION games)
# Let dpkg-shlibdeps name the libraries (SDL2, X11, the C++ runtime) with the
# versions this build was linked against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
