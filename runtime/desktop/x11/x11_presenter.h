// Frames on X11 through MIT-SHM, put without waiting for the server.
#pragma once

#include <memory>

#include "runtime/desktop/backend.h"

struct SDL_Window;

namespace glimmer::backend::x11 {

// Null where the display offers no MIT-SHM that works for us (a remote
// display, or a server without the extension), or the window's visual is
// not 32 bits a pixel: SDL's window surface then stands in.
std::unique_ptr<Presenter> MakeShmPresenter(SDL_Window* window);

}  // namespace glimmer::backend::x11
