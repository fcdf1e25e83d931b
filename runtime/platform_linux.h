// The X11 and Wayland halves of the Linux platform, for platform_linux.cpp,
// which chooses between them.
#pragma once

#include <optional>
#include <string>

struct SDL_Window;
union SDL_Event;

namespace glimmer::platform {

namespace x11 {
// Replaces Xlib's default error handlers, which print several lines and exit
// through clean-up that runs against a dead connection.
void InstallErrorHandlers();
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
