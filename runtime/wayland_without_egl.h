// Keeps SDL 2 from loading OpenGL (libEGL, Mesa) for a Wayland window that
// the program draws into itself (wayland_presenter.cpp).
#pragma once

#include <cstdint>

namespace glimmer::platform::wayland {

// The window flags that keep SDL off EGL: the first call also points SDL's
// check for a Vulkan loader at the program itself. Defined only in the
// programs that open Wayland windows (wayland_without_egl.cpp, linked into
// them alone); elsewhere the reference is null and SDL is left as it is.
__attribute__((weak)) std::uint32_t WindowFlagsWithoutEgl();

}  // namespace glimmer::platform::wayland
