# Installing the program with its desktop integration, and the Debian package
# built from that install by `make package` (CPack's DEB generator).
# Debian keeps games in /usr/games, and the package is in section games, so
# the program installs to <prefix>/games. A build tree configured before this
# cached GNUInstallDirs' "bin" and moves over once; a -DCMAKE_INSTALL_BINDIR
# of the user's own is kept.
get_property(glimmer_bindir_type CACHE CMAKE_INSTALL_BINDIR PROPERTY TYPE)
if(NOT GLIMMER_GAMES_BINDIR_SET AND CMAKE_INSTALL_BINDIR STREQUAL "bin"
   AND glimmer_bindir_type STREQUAL "PATH")
  unset(CMAKE_INSTALL_BINDIR CACHE)
endif()
set(GLIMMER_GAMES_BINDIR_SET ON CACHE INTERNAL "")
if(NOT DEFINED CMAKE_INSTALL_BINDIR)
  set(CMAKE_INSTALL_BINDIR games CACHE PATH "User executables (games)")
endif()
include(GNUInstallDirs)

# GLIMMER_APP_ID names the desktop entry, the AppStream component and the
# metainfo file; the icon keeps the program's plain name.
set(GLIMMER_MAINTAINER "Glimmerfeld maintainers <glimmerfeld@users.noreply.github.com>"
    CACHE STRING "The Maintainer field of the Debian package")

install(TARGETS glimmerfeld RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES data/${GLIMMER_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES data/${GLIMMER_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# Drawn by tools/make_icon.cpp and committed, so installing needs no generator.
install(DIRECTORY data/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)

# As an xscreensaver hack: a link where Debian's xscreensaver looks for
# hacks, and the description its settings show. The link is relative, as
# Debian wants, and made at install time under whatever prefix that has.
file(RELATIVE_PATH GLIMMER_HACK_TARGET /p/${CMAKE_INSTALL_LIBEXECDIR}/xscreensaver
     /p/${CMAKE_INSTALL_BINDIR}/glimmerfeld)
install(CODE "
  set(dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBEXECDIR}/xscreensaver\")
  file(MAKE_DIRECTORY \"\${dir}\")
  file(CREATE_LINK \"${GLIMMER_HACK_TARGET}\" \"\${dir}/glimmerfeld\" SYMBOLIC)
  message(STATUS \"Installing: \${dir}/glimmerfeld -> ${GLIMMER_HACK_TARGET}\")")
install(FILES data/xscreensaver/glimmerfeld.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/xscreensaver/config)

# Ways to start the background with a session (a systemd user unit, an
# autostart entry) and the resident screensaver (an autostart entry), as
# examples to copy: which one fits is the user's choice.
# They name the program where it is installed, so they are written at install
# time, under whatever prefix that has.
install(CODE "
  set(GLIMMER_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/glimmerfeld\")
  foreach(example glimmerfeld-background.service glimmerfeld-background.desktop
                  glimmerfeld-screensaver.desktop)
    set(to \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}/examples/\${example}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/data/session/\${example}.in\" \"\${to}\" @ONLY)
    message(STATUS \"Installing: \${to}\")
  endforeach()")

# The manual page and the Debian changelog go in compressed, as Debian wants
# them: gzip -9n leaves out the name and time, so rebuilds are identical.
find_program(GLIMMER_GZIP gzip REQUIRED)
set(GLIMMER_MAN_GZ ${PROJECT_BINARY_DIR}/glimmerfeld.6.gz)
set(GLIMMER_CHANGELOG_GZ ${PROJECT_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${GLIMMER_MAN_GZ}
  COMMAND ${GLIMMER_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/data/glimmerfeld.6 > ${GLIMMER_MAN_GZ}
  DEPENDS data/glimmerfeld.6 VERBATIM)
add_custom_command(OUTPUT ${GLIMMER_CHANGELOG_GZ}
  COMMAND ${GLIMMER_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/data/debian/changelog > ${GLIMMER_CHANGELOG_GZ}
  DEPENDS data/debian/changelog VERBATIM)
add_custom_target(glimmer_docs ALL DEPENDS ${GLIMMER_MAN_GZ} ${GLIMMER_CHANGELOG_GZ})
install(FILES ${GLIMMER_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man6)
# The version is native to this project (no Debian revision), so Debian
# names the changelog changelog.gz rather than changelog.Debian.gz.
install(FILES ${GLIMMER_CHANGELOG_GZ} data/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The changelog's newest entry names the version being packaged.
file(STRINGS data/debian/changelog GLIMMER_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT GLIMMER_CHANGELOG_TOP MATCHES "^glimmerfeld \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "data/debian/changelog starts with '${GLIMMER_CHANGELOG_TOP}'; "
                      "add an entry for ${PROJECT_VERSION}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS data/debian/changelog)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME glimmerfeld)
set(CPACK_PACKAGE_VENDOR "Glimmerfeld")
set(CPACK_PACKAGE_CONTACT "${GLIMMER_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Wrapped by hand: dpkg shows the lines as they are.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "Glimmerfeld sprays bright points of random colour onto a black window,\n"
  "hundreds at a time, and never clears them, so the field slowly fills\n"
  "with light. A white ball drifts across the window and wraps around at\n"
  "its edges.")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://github.com/glimmerfeld/glimmerfeld")
set(CPACK_STRIP_FILES ON)
# The package lands next to the program, as build/<name>_<version>_<arch>.deb.
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${GLIMMER_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION games)
# Let dpkg-shlibdeps name the libraries (X11, Wayland, xkbcommon, the C++
# runtime; SDL3 where the system's is used) with the versions this build was
# linked against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Window decorations on Wayland, and the run-time error box there (zenity):
# without them the program still runs, undecorated or with its errors on
# stderr only.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libdecor-0-plugin-1-cairo, zenity")

include(CPack)
