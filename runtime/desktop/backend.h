// What a window system or operating system adds to the portable SDL runtime.
// Each runtime/platform_<name>.cpp fills in this list and CMake picks the
// files for the target, so the portable code carries no #ifdef per platform.
// A new platform starts as a copy of one of them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "runtime/core/frame_sink.h"

#include <SDL3/SDL_properties.h>

struct SDL_Window;
union SDL_Event;

namespace glimmer {
struct WindowSettings;
}

namespace glimmer::backend {

// A platform's own way to the screen, for a window system where SDL's window
// surface would be costly or missing: its frames, and the window's facts that
// go with them (on Wayland, the scale and whether the compositor shows the
// window).
class Presenter : public FrameSink, public WindowMetrics {};

// For a window just created, still hidden: its presenter, or null where
// SDL's window surface is the way. Throws StartupError where the window
// system has no window surface and the presenter cannot be made.
std::unique_ptr<Presenter> MakePresenter(SDL_Window* window);

// What the window system has said about the window since the last call:
// whether it is now seen (false: fully covered), and a new display scale.
// Empty where nothing changed. (Where a Presenter is used, its metrics tell
// the scale instead.)
struct WindowNews {
  std::optional<bool> seen;
  std::optional<double> scale;
};
WindowNews TakeWindowNews();

// Before SDL starts: chooses the video drivers SDL may try (SDL_VIDEO_DRIVER
// stays the user's override) and sets up what the process needs, such as
// error handlers or DPI awareness. Throws StartupError when nothing could
// show a window. Start-up runs from here until StartupDone: where the
// platform has them, SIGINT and SIGTERM meanwhile end the program at once
// with status 0, and a display that does not answer within kAnswerSeconds
// ends it with one line on stderr and status 1.
void PrepareVideo(const WindowSettings& settings);
inline constexpr int kAnswerSeconds = 10;

// The window is shown: start-up is over.
void StartupDone();

// Whether SIGINT or SIGTERM has asked the program to end, as a close does.
bool EndRequested();

// SDL asked the program to quit. Where that is because the connection to
// the display is lost (SDL says no more than that), says so in one line on
// stderr and ends the program with status 1, as a lost X connection does:
// nothing can be shown any more.
void QuitRequested();

// Shows the window without waiting for a window manager to map it. Whether
// it is mapped now; if not, SDL reports it shown once it is.
bool ShowWithoutWaiting(SDL_Window* window);

// Shows a run-time error, already printed on stderr, and returns once the
// user has dismissed it. SIGINT or SIGTERM meanwhile end the program with
// status 1, taking down whatever process shows the box.
void ShowRunTimeError(SDL_Window* window, const std::string& title, const std::string& message);

// The display SDL was told to connect to, as " (NAME=value ...)" for an
// error message, or empty where the platform has no such name.
std::string DisplayNamed();

// SDL has started its video subsystem on one of the drivers PrepareVideo
// allowed: the platform notes which, once. Throws StartupError if that
// driver shows nothing (SDL's offscreen and dummy drivers).
void VideoStarted();

// Device pixels per pixel at 96 dpi for the display the window, created
// hidden at its 96-dpi size, is on; asked again when SDL reports a new
// display scale.
double DisplayScale(SDL_Window* window);

// Names, in the creation properties `props`, the native window a
// screensaver draws into: the host's window that `settings` name, or one the
// platform makes for the host (a child of it, or one over every monitor).
// Throws StartupError where the platform has no such window.
void SetHostWindow(SDL_PropertiesID props, const WindowSettings& settings);

// A screensaver's settings dialog, owned by the window `owner` names (0:
// none); returns once the user has dismissed it.
void ShowSettingsDialog(std::uint64_t owner, const std::string& title, const std::string& message);

// The window was just created and is still hidden, or, a host's window, was
// just taken over: then only watched, never changed. Throws StartupError
// where the window's pixels cannot be drawn as they are meant.
void PrepareWindow(SDL_Window* window);

// Waits up to `timeout_ms` for an event (0: only looks) and takes it;
// false if none came.
bool WaitEvent(SDL_Event& event, int timeout_ms);

// While the window system holds the thread in a loop of its own, in which
// SDL's event pump does not return (Windows' modal loop while the title bar
// is held, the window is sized by its border or its system menu is open),
// calls `step` every few milliseconds; nothing where there is no such loop.
// `step` must not pump events. An empty `step` stops this.
void SetModalStep(std::function<void()> step);

// A start-up failure, already printed on stderr, shown where the user looks.
void ShowStartupError(const std::string& message);

// The window is about to be destroyed.
void BeginTeardown();

}  // namespace glimmer::backend
