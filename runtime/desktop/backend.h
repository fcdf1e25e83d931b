// What a window system adds to the SDL runtime. The operating system's part
// is chosen at compile time (linux/, windows/): it prepares SDL, and once SDL
// has chosen its video driver, picks the backend for it, a table of the calls
// below. A new backend starts as a copy of backend_template.cpp.
#pragma once

#include <SDL3/SDL_events.h>
#include <SDL3/SDL_properties.h>
#include <SDL3/SDL_video.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "runtime/core/frame_sink.h"

namespace glimmer {
struct WindowSettings;
}

namespace glimmer::backend {

// A backend's own way to the screen where SDL's window surface would be
// costly or missing, with, where they go with its frames, the window's facts
// (on Wayland, the scale and whether the compositor shows the window).
class Presenter : public FrameSink {
 public:
  // The window's facts as the presenter sees them, or null where SDL's
  // events and the backend's news tell them.
  virtual WindowMetrics* Metrics() { return nullptr; }
  // Takes in what the window system sent about frames and buffers since;
  // the runtime calls it once per wake-up, and the metrics and frames go by
  // what it last took.
  virtual void Dispatch() {}
  // Whether the window system asks for each frame (Wayland's frame
  // callbacks), and whether it has asked for the next one; the backend's
  // WaitEvent then also returns when it asks.
  virtual bool PacesFrames() const { return false; }
  virtual bool FrameAsked() const { return false; }
};

// What the window system said about the window since it was last asked:
// whether it is seen (false: fully covered), a new display scale, and
// whether the frame around it changed (WindowFrame tells the new one).
struct WindowNews {
  std::optional<bool> seen;
  std::optional<double> scale;
  bool frame = false;
};

// A window frame's width (left and right together) and height (top and
// bottom together), in device pixels.
using FrameSize = std::pair<int, int>;

// How long start-up waits for a display to answer.
inline constexpr int kAnswerSeconds = 10;

// Every entry is set; a backend shares what it has in common with its
// siblings by pointing at the same function.
struct Backend {
  // SDL's name for the video driver.
  const char* driver;
  // Names in creation properties the native window a screensaver draws into:
  // the host's, or one made for it. Throws StartupError where there is none.
  void (*SetHostWindow)(SDL_PropertiesID props, const WindowSettings& settings);
  // The window was just created (hidden) or, a host's, taken over, then only
  // watched. Throws StartupError where its pixels cannot be drawn as meant.
  void (*PrepareWindow)(SDL_Window* window);
  // Its own way to the screen, or null for SDL's window surface. Throws
  // StartupError where neither can be had.
  std::unique_ptr<Presenter> (*MakePresenter)(SDL_Window* window);
  // Device pixels per 96-dpi pixel where the window is.
  double (*DisplayScale)(SDL_Window* window);
  // Shows the window without waiting for a window manager; whether it is
  // mapped now (if not, SDL reports it shown later).
  bool (*ShowWithoutWaiting)(SDL_Window* window);
  // The window is up: start-up's signal handling and time-out end.
  void (*StartupDone)();
  // Asked after every event pump.
  WindowNews (*TakeWindowNews)();
  // The frame the window system has put around the window, possibly none
  // wide (borderless, tiling); nullopt where it reports nothing, and the
  // frame assumed in the settings stands in for it.
  std::optional<FrameSize> (*WindowFrame)(SDL_Window* window);
  // Waits up to `timeout_ms` for an event (0: only looks); false if none.
  bool (*WaitEvent)(SDL_Event& event, int timeout_ms);
  // Where the window system holds the thread in a loop of its own (Windows'
  // move, size and menu loops), calls `step` every few milliseconds from it;
  // `step` must not pump events. An empty `step` stops it.
  void (*SetModalStep)(std::function<void()> step);
  // A signal, or a screensaver's host, asked the program to end.
  bool (*SignalledToEnd)();
  // SDL asked to quit. Where the display is lost, one line on stderr and
  // status 1: it does not return.
  void (*OnQuitEvent)();
  // A run-time error, already on stderr, is about to be shown in SDL's box;
  // false where nobody should wait for it (the program is ending already).
  bool (*PrepareErrorBox)();
  // The window is about to be destroyed.
  void (*BeginTeardown)();
};

// Before SDL starts: which video drivers SDL may try (the user's
// SDL_VIDEO_DRIVER stays an override) and what the process needs first.
// From here until StartupDone, SIGINT and SIGTERM end the program at once
// and a display that does not answer within kAnswerSeconds ends it with one
// line, where the system has them. Throws StartupError when nothing could
// show a window.
void PrepareVideo(const WindowSettings& settings);

// SDL has started: the backend of its video driver. Throws StartupError for
// a driver that shows nothing (SDL's offscreen and dummy).
const Backend& Started();

// The display SDL was told to use, as " (NAME=value)" for an error message;
// empty where the system has no such name.
std::string DisplayNamed();

// A start-up failure, already printed on stderr, shown where the user looks.
void ShowStartupError(const std::string& message);

// A screensaver's settings dialog, owned by the window `owner` names (0:
// none); returns once dismissed.
void ShowSettingsDialog(std::uint64_t owner, const std::string& title, const std::string& message);

// SDL's own ways, for backends with nothing better: its wait, its show
// (which maps at once where no window manager holds the map), its window
// surface.
inline bool SdlWaitEvent(SDL_Event& event, int timeout_ms) {
  return timeout_ms > 0 ? SDL_WaitEventTimeout(&event, timeout_ms) : SDL_PollEvent(&event);
}
inline bool SdlShowWindow(SDL_Window* window) {
  SDL_ShowWindow(window);
  return true;
}
inline std::unique_ptr<Presenter> NoPresenter(SDL_Window*) {
  return nullptr;
}
// SDL's word on the frame. SDL has no way to say it knows none, and reports
// zeros until it learns one: zeros count as nothing reported.
inline std::optional<FrameSize> SdlWindowFrame(SDL_Window* window) {
  int top = 0, left = 0, bottom = 0, right = 0;
  if (!SDL_GetWindowBordersSize(window, &top, &left, &bottom, &right) ||
      (top | left | bottom | right) == 0) {
    return std::nullopt;
  }
  return FrameSize(left + right, top + bottom);
}

// The state a backend keeps of SDL's video (SDL's connection to the window
// system), in SDL's global properties under `name`: made by the first call
// with `make`, deleted when SDL quits. Null where there is none yet, or SDL
// could not keep it (out of memory).
template <class T>
T* VideoState(const char* name, bool make = false) {
  const SDL_PropertiesID global = SDL_GetGlobalProperties();
  void* state = SDL_GetPointerProperty(global, name, nullptr);
  if (state == nullptr && make) {
    state = new T();
    // Where SDL cannot keep it, SDL deletes it at once.
    if (!SDL_SetPointerPropertyWithCleanup(
            global, name, state, [](void*, void* p) { delete static_cast<T*>(p); }, nullptr)) {
      return nullptr;
    }
  }
  return static_cast<T*>(state);
}

}  // namespace glimmer::backend
