// The X11 and Wayland halves of the Linux platform, for platform_linux.cpp,
// which chooses between them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "runtime/desktop/backend.h"

struct SDL_Window;

namespace glimmer {
struct WindowSettings;
}

namespace glimmer::backend {

namespace x11 {
// Replaces Xlib's default error handlers, which print several lines and exit
// through clean-up that runs against a dead connection.
void InstallErrorHandlers();
// Where the screen's default visual cannot show the field's colours through
// SDL's window surface (a 10-bit or 8-bit desktop), has SDL make the window
// with a TrueColor visual of 8 bits a channel instead. Why no visual will do,
// or empty (also when the display cannot be reached: SDL says so then).
std::string ChooseVisual();
// The X window a screensaver host named: the one given, or for the root its
// virtual root (XSCREENSAVER_WINDOW) where it sets one, else the screen's
// root. Throws StartupError.
std::uint64_t HostWindow(const WindowSettings& settings);
// The scale the desktop publishes as Xft.dpi, or 1.
double XftScale(SDL_Window* window);
// Black behind the window from the moment it maps and wherever it grows;
// whether it is covered, and the desktop's Xft.dpi, watched. Throws
// StartupError for a visual SDL's window surface cannot draw into.
void PrepareWindow(SDL_Window* window);
// What the watch saw since the last call: a VisibilityNotify (whether the
// window is seen at all) and a new Xft.dpi on the root window.
WindowNews TakeNews();
// Maps the window without waiting for the window manager; whether it is
// mapped now.
bool MapWithoutWaiting(SDL_Window* window);
void BeginTeardown();
}  // namespace x11

namespace wayland {
// Why SDL must not start on the compositor it would connect to, or empty.
// Waits up to kAnswerSeconds for the compositor to answer.
std::string Unusable();
// SDL quits: where the connection is broken, one line and status 1.
void QuitRequested();
}  // namespace wayland

}  // namespace glimmer::backend
