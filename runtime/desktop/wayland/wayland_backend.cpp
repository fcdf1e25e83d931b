// BACKEND: Wayland.
// COVERS: a look at the compositor before SDL starts on it, given up on if
//   it does not answer; frames through a presenter of our own
//   (wayland_presenter.cpp); a lost connection told from a close.
// LIMITATIONS: only the seat and whether the compositor answers are looked
//   at; SDL finds out the rest.
// DEPENDENCIES: SDL3, wayland-client; zenity at run time for SDL's message boxes.
#include <SDL3/SDL.h>
#include <poll.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "runtime/core/window_settings.h"
#include "runtime/desktop/linux/linux_system.h"
#include "runtime/desktop/wayland/wayland_presenter.h"

namespace glimmer::backend::wayland {
namespace {

// wl_display_roundtrip, but giving up after `timeout`: whether the
// compositor answered.
bool RoundtripWithin(wl_display* display, std::chrono::milliseconds timeout) {
  bool done = false;
  static const wl_callback_listener listener = {
      [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; }};
  wl_callback* callback = wl_display_sync(display);
  if (callback == nullptr) return false;
  wl_callback_add_listener(callback, &listener, &done);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done) {
    if (wl_display_prepare_read(display) != 0) {
      if (wl_display_dispatch_pending(display) < 0) break;
      continue;
    }
    if (wl_display_flush(display) < 0 && errno != EAGAIN) {
      wl_display_cancel_read(display);
      break;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd ready{wl_display_get_fd(display), POLLIN, 0};
    const int n = left.count() > 0 ? poll(&ready, 1, static_cast<int>(left.count())) : 0;
    if (n <= 0) {
      wl_display_cancel_read(display);
      if (n < 0 && errno == EINTR) continue;
      break;
    }
    if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0) break;
  }
  wl_callback_destroy(callback);
  return done;
}

}  // namespace

// A compositor that cannot be reached, or does not answer, is ruled out
// before SDL tries it, so that the one line saying so is ours rather than
// libwayland's and SDL's. A compositor without an input seat is fine: SDL 3
// starts without one, and the program takes no input.
std::string Unusable() {
  // A socket handed down by a launcher can be taken only once: leave it to SDL.
  const char* socket = std::getenv("WAYLAND_SOCKET");
  if (socket != nullptr && socket[0] != '\0') return {};
  const char* env = std::getenv("WAYLAND_DISPLAY");
  const std::string name = env != nullptr && env[0] != '\0' ? env : "wayland-0";
  const char* runtime_dir = std::getenv("XDG_RUNTIME_DIR");
  if (name[0] != '/' && (runtime_dir == nullptr || runtime_dir[0] != '/')) {
    return "cannot connect to the display (WAYLAND_DISPLAY=" + name +
           "): XDG_RUNTIME_DIR is not set";
  }
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) {
    return "cannot connect to the display (WAYLAND_DISPLAY=" + name + "): " + std::strerror(errno);
  }
  const bool answered = RoundtripWithin(display, std::chrono::seconds(kAnswerSeconds));
  wl_display_disconnect(display);
  if (!answered) return "the Wayland compositor (WAYLAND_DISPLAY=" + name + ") does not answer";
  return {};
}

// SDL quits when the compositor hangs up or the connection breaks, as it
// does for a close. libwayland marks the connection dead then, which a close
// never does.
namespace {

void OnQuitEvent() {
  auto* display = static_cast<wl_display*>(SDL_GetPointerProperty(
      SDL_GetGlobalProperties(), SDL_PROP_GLOBAL_VIDEO_WAYLAND_WL_DISPLAY_POINTER, nullptr));
  if (display == nullptr || wl_display_get_error(display) == 0) return;
  const char* name = std::getenv("WAYLAND_DISPLAY");
  std::fprintf(stderr, "glimmerfeld: lost the connection to the display (WAYLAND_DISPLAY=%s)\n",
               name != nullptr && name[0] != '\0' ? name : "wayland-0");
  std::fflush(stderr);
  _exit(1);
}

// SDL's window surface on Wayland would go through a renderer, and load
// OpenGL or Vulkan for it: the presenter is the only way.
std::unique_ptr<Presenter> MakeOnlyPresenter(SDL_Window* window) {
  auto presenter = MakePresenter(window);
  if (presenter == nullptr)
    throw StartupError("the display offers no shared-memory buffers or subsurfaces");
  return presenter;
}

}  // namespace

const Backend kBackend = {
    .driver = "wayland",
    // A screensaver host's window is an X window: start-up chose X11 for it.
    // The screensaver's own full-screen window is SDL's, on compositors
    // without the layer shell.
    .SetHostWindow =
        [](SDL_PropertiesID props, const WindowSettings& settings) {
          if (settings.host != WindowSettings::Host::kScreen)
            throw StartupError("no host windows on Wayland");
          linux_desktop::SetScreenWindow(props, settings);
        },
    .PrepareWindow = linux_desktop::PinScreenWindow,
    .MakePresenter = MakeOnlyPresenter,
    .DisplayScale =
        [](SDL_Window* window) {
          const float scale = SDL_GetWindowDisplayScale(window);
          return scale > 0.0f ? static_cast<double>(scale) : 1.0;
        },
    .ShowWithoutWaiting = SdlShowWindow,
    .StartupDone = linux_desktop::StartupDone,
    // The presenter's metrics tell the scale and whether the window is seen.
    .TakeWindowNews = [] { return WindowNews{}; },
    // SDL's, from its decorations.
    .WindowFrame = SdlWindowFrame,
    // Frames go when the compositor asks for them.
    .WaitEvent = WaitEventOrFrame,
    .SetModalStep = linux_desktop::NoModalLoop,
    .SignalledToEnd = linux_desktop::SignalledToEnd,
    .OnQuitEvent = OnQuitEvent,
    .PrepareErrorBox = linux_desktop::PrepareErrorBox,
    .BeginTeardown = linux_desktop::StopAnswerTimeout,
};

}  // namespace glimmer::backend::wayland
