# The Windows packages, by `make windows-package`: a 64-bit NSIS installer
# (build-windows/glimmerfeld-<version>-win64-setup.exe) with a Start-menu
# entry and an uninstaller, and a ZIP of the same files
# (build-windows/glimmerfeld-<version>-win64.zip).

# The notices for what is linked in statically, from the licence files of
# the cached SDL and of Debian's mingw-w64 package.
set(GLIMMER_MINGW_COPYRIGHT_FILE /usr/share/doc/mingw-w64-x86-64-dev/copyright
    CACHE FILEPATH "Debian's licence terms of the mingw-w64 runtime and winpthreads")
get_filename_component(sdl_prefix "${SDL3_DIR}/../../.." ABSOLUTE)
file(READ ${sdl_prefix}/share/licenses/SDL3/LICENSE.txt GLIMMER_SDL_LICENSE)
file(READ ${GLIMMER_MINGW_COPYRIGHT_FILE} GLIMMER_MINGW_COPYRIGHT)
string(STRIP "${GLIMMER_SDL_LICENSE}" GLIMMER_SDL_LICENSE)
string(STRIP "${GLIMMER_MINGW_COPYRIGHT}" GLIMMER_MINGW_COPYRIGHT)
# scripts/build-sdl3 notes which Debian source it built.
file(STRINGS ${sdl_prefix}/debian-version GLIMMER_SDL_DEBIAN_VERSION LIMIT_COUNT 1)
execute_process(COMMAND dpkg-query -W -f=\${Version} mingw-w64-x86-64-dev
                OUTPUT_VARIABLE GLIMMER_MINGW_DEBIAN_VERSION ERROR_QUIET)
configure_file(data/windows/NOTICES.txt.in ${GLIMMER_WINDOWS_DIR}/NOTICES.txt @ONLY)

# Everything at the top of the install folder: Program Files\Glimmerfeld.
install(TARGETS glimmerfeld glimmerfeld_scr RUNTIME DESTINATION .)
install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
install(FILES ${GLIMMER_WINDOWS_DIR}/NOTICES.txt DESTINATION .)

set(CPACK_GENERATOR NSIS ZIP)
set(CPACK_PACKAGE_NAME glimmerfeld)
set(CPACK_PACKAGE_VENDOR "the Glimmerfeld authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://github.com/glimmerfeld/glimmerfeld")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Glimmerfeld)
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Glimmerfeld)
set(CPACK_PACKAGE_FILE_NAME glimmerfeld-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)
# The installer and the ZIP differ in name only by "-setup".
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/WindowsCPackOptions.cmake)

# A 64-bit installer: CPack's default 32-bit one installs nothing under a
# 64-bit-only Windows (or Wine) and still reports success.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_PACKAGE_NAME Glimmerfeld)
set(CPACK_NSIS_DISPLAY_NAME Glimmerfeld)
set(CPACK_NSIS_INSTALLED_ICON_NAME glimmerfeld.exe)
set(CPACK_NSIS_URL_INFO_ABOUT "${CPACK_PACKAGE_HOMEPAGE_URL}")
set(CPACK_NSIS_MANIFEST_DPI_AWARE ON)
# Start menu: Glimmerfeld\Glimmerfeld, beside the uninstaller's entry.
set(CPACK_PACKAGE_EXECUTABLES glimmerfeld Glimmerfeld)
set(CPACK_NSIS_EXECUTABLES_DIRECTORY .)
# The Screen Saver settings list the .scr files in System32 (a 64-bit
# installer sees the real one); the copy in the install folder stays for the
# ZIP's users to put there themselves.
# NSIS splits the line before it expands $INSTDIR, so its spaces need no quotes.
set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS
    "CopyFiles /SILENT $INSTDIR\\\\glimmerfeld.scr $SYSDIR\\\\glimmerfeld.scr")
set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "Delete $SYSDIR\\\\glimmerfeld.scr")

include(CPack)
