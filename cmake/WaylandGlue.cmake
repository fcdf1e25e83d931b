# add_wayland_glue(TARGET XML...): a static library of the client glue that
# wayland-scanner generates from each protocol description, its headers
# (NAME-client-protocol.h) on the library's include path.
find_package(PkgConfig REQUIRED)
pkg_check_modules(WAYLAND_CLIENT REQUIRED IMPORTED_TARGET wayland-client)
find_program(WAYLAND_SCANNER wayland-scanner REQUIRED)
# Generated C, outside the project's own warnings.
enable_language(C)

function(add_wayland_glue target)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target})
  set(sources)
  foreach(xml ${ARGN})
    get_filename_component(name ${xml} NAME_WE)
    add_custom_command(
      OUTPUT ${dir}/${name}-client-protocol.h ${dir}/${name}-protocol.c
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
      COMMAND ${WAYLAND_SCANNER} client-header ${xml} ${dir}/${name}-client-protocol.h
      COMMAND ${WAYLAND_SCANNER} private-code ${xml} ${dir}/${name}-protocol.c
      DEPENDS ${xml}
      VERBATIM)
    list(APPEND sources ${dir}/${name}-client-protocol.h ${dir}/${name}-protocol.c)
  endforeach()
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${dir})
  target_link_libraries(${target} PUBLIC PkgConfig::WAYLAND_CLIENT)
endfunction()
