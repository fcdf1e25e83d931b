# Building for 64-bit Windows with mingw-w64 (cmake/mingw-w64-x86_64.cmake)
# against the static SDL3 of scripts/build-sdl3 windows; `make windows` sets
# both up.
enable_language(RC)

# Self-contained executables: libgcc, libstdc++ and winpthreads are linked
# in, so that only Windows' own DLLs are imported.
target_link_options(glimmer_options INTERFACE -static -static-libgcc -static-libstdc++)

# The icon, drawn by tools/make_icon.cpp and committed as PNGs, packed into
# an .ico at build time.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(GLIMMER_WINDOWS_DIR ${PROJECT_BINARY_DIR}/windows)
set(GLIMMER_ICO ${GLIMMER_WINDOWS_DIR}/glimmerfeld.ico)
file(GLOB GLIMMER_ICON_PNGS CONFIGURE_DEPENDS
     ${PROJECT_SOURCE_DIR}/data/icons/hicolor/*/apps/glimmerfeld.png)
add_custom_command(
  OUTPUT ${GLIMMER_ICO}
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/scripts/make-ico ${GLIMMER_ICO}
          ${GLIMMER_ICON_PNGS}
  DEPENDS ${PROJECT_SOURCE_DIR}/scripts/make-ico ${GLIMMER_ICON_PNGS}
  COMMENT "Packing the icons into glimmerfeld.ico"
  VERBATIM)

# Version information from the project's version; the manifest declares
# per-monitor DPI awareness.
set(GLIMMER_VERSION4 "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
string(REPLACE "." "," GLIMMER_VERSION_COMMAS "${GLIMMER_VERSION4}")
set(GLIMMER_MANIFEST ${GLIMMER_WINDOWS_DIR}/glimmerfeld.manifest)
configure_file(data/windows/glimmerfeld.manifest.in ${GLIMMER_MANIFEST} @ONLY)
configure_file(data/windows/glimmerfeld.rc.in ${GLIMMER_WINDOWS_DIR}/glimmerfeld.rc @ONLY)
set_source_files_properties(${GLIMMER_WINDOWS_DIR}/glimmerfeld.rc PROPERTIES
                            OBJECT_DEPENDS "${GLIMMER_ICO};${GLIMMER_MANIFEST}")
add_library(glimmer_windows_resources OBJECT ${GLIMMER_WINDOWS_DIR}/glimmerfeld.rc)

# Makes `target` a GUI program (no console window) with the icon, version
# information and manifest.
function(glimmer_windows_program target)
  set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
  target_link_libraries(${target} PRIVATE glimmer_windows_resources)
endfunction()
