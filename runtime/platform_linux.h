// The X11 and Wayland halves of the Linux platform, for platform_linux.cpp,
// which chooses between them.
#pragma once

#include <optional>
#include <string>

struct SDL_Window;

namespace glimmer {
struct WindowSettings;
}
union SDL_Event;

namespace glimmer::platform {

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
void* HostWindow(const WindowSettings& settings);
// The scale the desktop publishes as Xft.dpi, or 1.
double XftScale(SDL_Window* window);
// Black behind the window from the moment it maps and wherever it grows;
// visibility changes reported.
void PrepareWindow(SDL_Window* window);
// A VisibilityNotify: whether the window is seen at all.
std::optional<bool> SeenFrom(const SDL_Event& event);
// A new Xft.dpi on the root window: the scale it gives.
std::optional<double> ScaleFrom(const SDL_Event& event);
// Maps the window without waiting for the window manager; whether it is
// mapped now.
bool MapWithoutWaiting(SDL_Window* window);
void BeginTeardown();
}  // namespace x11

namespace wayland {
// Why SDL must not start on the compositor it would connect to, or empty.
// Waits up to kAnswerSeconds for the compositor to answer.
std::string Unusable();
}  // namespace wayland

}  // namespace glimmer::platform
