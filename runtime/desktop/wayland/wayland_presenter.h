// Frames on Wayland without OpenGL: shared-memory buffers on a subsurface of
// our own over SDL's window, which SDL keeps with its events and decorations.
#pragma once

#include <memory>

#include "runtime/desktop/backend.h"

struct SDL_Window;

namespace glimmer::backend::wayland {

// Null when the window is not on Wayland or the compositor lacks what is
// needed (wl_subcompositor, wl_shm).
std::unique_ptr<Presenter> MakePresenter(SDL_Window* window);

}  // namespace glimmer::backend::wayland
