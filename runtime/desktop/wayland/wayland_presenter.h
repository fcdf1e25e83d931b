// Frames on Wayland without OpenGL: shared-memory buffers on a subsurface of
// our own over SDL's window, which SDL keeps with its events and decorations.
#pragma once

#include <memory>

#include "runtime/desktop/backend.h"

struct SDL_Window;
union SDL_Event;

namespace glimmer::backend::wayland {

// Null when the window is not on Wayland or the compositor lacks what is
// needed (wl_subcompositor, wl_shm).
std::unique_ptr<Presenter> MakePresenter(SDL_Window* window);

// SDL's wait for an event, which also ends (returning false) when the
// compositor asks the presenter for a frame; releases of buffers and the
// like do not end it.
bool WaitEventOrFrame(SDL_Event& event, int timeout_ms);

}  // namespace glimmer::backend::wayland
