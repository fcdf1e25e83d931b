// PLATFORM: a template, built for no target. A new platform under the SDL
//   runtime starts as a copy of this file, named platform_<name>.cpp, with
//   each function below filled in, and a line in runtime/CMakeLists.txt that
//   picks it (and its libraries) for its target. The contracts are in
//   runtime/desktop/backend.h; the portable runtime (sdl_runtime.cpp) and the core
//   every runtime shares (runtime_core.cpp) need nothing else.
//   A platform without SDL (the browser's) is a runtime of its own instead,
//   composing RuntimeCore as web_runtime.cpp does.
// COVERS: what the copy does; LIMITATIONS: what it does not; DEPENDENCIES:
//   the libraries it links.
#include <SDL3/SDL.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "runtime/desktop/backend.h"
#include "runtime/core/window_settings.h"

namespace glimmer::backend {

// The drivers SDL may try (SDL_HINT_VIDEO_DRIVER), and whatever the process
// needs before SDL starts. Throw StartupError when nothing can show a window.
void PrepareVideo(const WindowSettings&) {}

// Start-up is over; SIGINT and SIGTERM now ask the loop to end.
void StartupDone() {}

// Whether a signal has asked the program to end.
bool EndRequested() {
  return false;
}

// SDL asked the program to quit: where the display is lost, one line and
// status 1.
void QuitRequested() {}

// Show the window without waiting for a window manager; whether it is mapped.
bool ShowWithoutWaiting(SDL_Window* window) {
  SDL_ShowWindow(window);
  return true;
}

// Show a run-time error until the user dismisses it.
void ShowRunTimeError(SDL_Window* window, const std::string& title, const std::string& message) {
  SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, title.c_str(), message.c_str(), window);
}

// Where the window system runs a loop of its own (Windows' move and size),
// call `step` from inside it; none here.
void SetModalStep(std::function<void()>) {}

// The display's name for an error message, such as " (DISPLAY=:0)".
std::string DisplayNamed() {
  return {};
}

// Note which driver SDL started on, if the platform has several; throw
// StartupError if it shows nothing.
void VideoStarted() {}

// The window's display scale: device pixels per 96-dpi pixel.
double DisplayScale(SDL_Window*) {
  return 1.0;
}

// Name a screensaver host's window to draw into (SDL_PROP_WINDOW_CREATE_*),
// or throw StartupError.
void SetHostWindow(SDL_PropertiesID, const WindowSettings&) {
  throw StartupError("no host windows here");
}

// A screensaver's settings dialog, where the platform has such a thing.
void ShowSettingsDialog(std::uint64_t, const std::string&, const std::string&) {}

// The window exists, hidden: window-system set-up such as its background.
void PrepareWindow(SDL_Window*) {}

// A way to the screen of the platform's own (FrameSink and WindowMetrics),
// or null for SDL's window surface; throw StartupError where there is no
// window surface and none can be made.
std::unique_ptr<Presenter> MakePresenter(SDL_Window*) {
  return nullptr;
}

// Whether the window system said the window is now seen or covered, or the
// display scale changed, since the last call (an event hook's findings).
WindowNews TakeWindowNews() {
  return {};
}

// Wait up to `timeout_ms` for an event, waking as soon as one arrives.
bool WaitEvent(SDL_Event& event, int timeout_ms) {
  return timeout_ms > 0 ? SDL_WaitEventTimeout(&event, timeout_ms) : SDL_PollEvent(&event);
}

// Show a start-up error where the user of this platform looks.
void ShowStartupError(const std::string&) {}

// The window is about to go: stop anything that would act on it.
void BeginTeardown() {}

}  // namespace glimmer::backend
