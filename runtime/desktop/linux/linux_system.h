// What the X11 and Wayland backends share, and what each of them gives the
// start-up in linux_system.cpp before SDL starts.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "runtime/desktop/backend.h"

namespace glimmer::backend::linux_desktop {
void StartupDone();
bool SignalledToEnd();
// For a start without SDL, on the Wayland display alone (the desktop's
// layers): SIGINT and SIGTERM as for the window, a bounded wait for a
// compositor that does not answer, and no SIGPIPE from a dead one.
void PrepareWaylandOnly();
// The same for a connection of our own to the X server, before SDL starts
// (the resident screensaver's idle watch), with Xlib's errors reported in
// one line as for the window.
void PrepareX11Only();
// Waits until `fd` can be read, `timeout_ns` has passed (none: for ever) or
// SIGINT or SIGTERM asks to end, whichever comes first; a signal that comes
// just before the wait still cuts it short. True when `fd` can be read.
bool WaitReadable(int fd, std::optional<std::int64_t> timeout_ns);
bool PrepareErrorBox();
// Neither window system holds the thread in a loop of its own.
inline void NoModalLoop(std::function<void()>) {}
// A display that stops answering after start-up is SDL's and Xlib's to report.
void StopAnswerTimeout();
// The screensaver's window where the desktop has no layers for it: SDL's
// own, full screen on the primary display, pointer hidden, which the user's
// first key, button or move (EndOnInput) ends as a signal does.
void SetScreenWindow(SDL_PropertiesID props, const WindowSettings& settings);
// A compositor places windows itself: that window's display is named to it
// through the full-screen mode, the display's own, so nothing is switched.
void PinScreenWindow(SDL_Window* window);
// Those windows (one a process) are starting: no input has ended them yet.
void NewScreenWindows();
// The primary display, then the others in SDL's order.
std::vector<SDL_DisplayID> ScreenDisplays();
// A process covering another display, whose end ends this process's window
// as a signal does; listed as soon as it is forked. ForgetCompanions stops
// following them, and is what a companion itself starts with. False where
// the list is full: that process would go unheard.
bool FollowCompanion(int pid);
void ForgetCompanions();
// Runs `cover(0)` here and `cover(n)` for n in 1 to `displays` - 1 in a
// forked process each; the first to end ends the others. See
// CoverEveryScreen.
int CoverDisplays(int displays, const std::function<int(int display)>& cover);
// Whether the user's input ended that window: true once, and that request
// to end is then taken back; one from a signal stays.
bool TakeEndedByInput();
// Ends that window as the user's input does, for the desktop's own word
// that the user is back; from any thread.
void EndAsInput();
}  // namespace glimmer::backend::linux_desktop

namespace glimmer::backend::x11 {
extern const Backend kBackend;
// Replaces Xlib's default error handlers, which print several lines and exit
// through clean-up that runs against a dead connection.
void InstallErrorHandlers();
// Where the default visual cannot show the field's colours through SDL's
// window surface (10-bit or 8-bit desktops), has SDL use a TrueColor visual
// of 8 bits a channel. Why no visual will do, or empty.
std::string ChooseVisual();
}  // namespace glimmer::backend::x11

namespace glimmer::backend::wayland {
extern const Backend kBackend;
// Why SDL must not start on the compositor it would connect to, or empty.
// Waits up to kAnswerSeconds for an answer.
std::string Unusable();
}  // namespace glimmer::backend::wayland
