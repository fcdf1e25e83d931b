// PLATFORM: Linux, on X11 or Wayland, whichever the session offers.
// COVERS: which of the two SDL may start on, and what each needs before and
//   after the window is made (platform_x11.cpp, platform_wayland.cpp).
// LIMITATIONS: start-up errors go to stderr only.
// DEPENDENCIES: SDL2, libX11, wayland-client.
#include <SDL.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/platform.h"
#include "runtime/platform_linux.h"
#include "runtime/wayland_presenter.h"
#include "runtime/wayland_without_egl.h"
#include "runtime/window_settings.h"

namespace glimmer::platform {
namespace {

bool EnvSet(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && v[0] != '\0';
}

// Splits a comma-separated driver list such as SDL_VIDEODRIVER's.
std::vector<std::string> SplitDrivers(const std::string& list) {
  std::vector<std::string> drivers;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = std::min(list.find(',', start), list.size());
    if (end > start) drivers.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return drivers;
}

std::string JoinDrivers(const std::vector<std::string>& drivers) {
  std::string list;
  for (const auto& d : drivers)
    list += (list.empty() ? "" : ",") + d;
  return list;
}

// Which of the two SDL started on, known from VideoStarted() on.
bool g_on_x11 = false;

bool OnX11() {
  return g_on_x11;
}

}  // namespace

void PrepareVideo(const WindowSettings& settings) {
  // A screensaver host's windows are X windows, whatever else is there.
  const bool hosted = settings.host != WindowSettings::Host::kOwnWindow;
  const bool x11 = EnvSet("DISPLAY");
  const bool wayland = EnvSet("WAYLAND_DISPLAY") && !hosted;
  // Without a display SDL would quietly fall back to an invisible offscreen
  // window and the program would run unseen.
  if (hosted && !x11)
    throw StartupError("no X display for the screensaver's window (DISPLAY is not set)");
  if (!x11 && !wayland) {
    throw StartupError(
        "no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is set)");
  }
  // Only the drivers that can show a window. Native Wayland first: there the
  // window gets the output's real scale, which X11 through Xwayland lacks.
  const bool user_choice = EnvSet("SDL_VIDEODRIVER") && !hosted;
  std::vector<std::string> drivers =
      SplitDrivers(user_choice ? std::getenv("SDL_VIDEODRIVER")
                               : (x11 && wayland ? "wayland,x11" : (x11 ? "x11" : "wayland")));
  // Keep SDL off a compositor it would crash on, even as a fallback after a
  // failed X11 start.
  const auto wl = std::find_if(drivers.begin(), drivers.end(), [](const std::string& d) {
    return SDL_strcasecmp(d.c_str(), "wayland") == 0;  // as SDL matches driver names
  });
  if (wl != drivers.end()) {
    const std::string why = wayland::Unusable();
    if (!why.empty()) {
      drivers.erase(wl);
      if (drivers.empty()) {
        throw StartupError(why + (user_choice ? "; SDL_VIDEODRIVER allows no other driver"
                                              : (x11 ? "" : "; set DISPLAY to use X11")));
      }
    }
  }
  if (x11) x11::InstallErrorHandlers();
  // A screen whose colours SDL cannot draw in leaves X11 out; refused
  // outright when nothing else is left.
  const auto on_x11 = std::find_if(drivers.begin(), drivers.end(), [](const std::string& d) {
    return SDL_strcasecmp(d.c_str(), "x11") == 0;
  });
  if (on_x11 != drivers.end() && !hosted) {
    const std::string why = x11::ChooseVisual();
    if (!why.empty()) {
      drivers.erase(on_x11);
      if (drivers.empty()) throw StartupError(why);
    }
  }
  // The user's own choice is overridden only to take the crashing driver out.
  SDL_SetHintWithPriority(SDL_HINT_VIDEODRIVER, JoinDrivers(drivers).c_str(),
                          user_choice || hosted ? SDL_HINT_OVERRIDE : SDL_HINT_DEFAULT);
  // SDL takes the window's class on X11, and its app id on Wayland, from
  // these; the desktop entry is found by the same name.
  if (!settings.app_id.empty()) {
    setenv("SDL_VIDEO_X11_WMCLASS", settings.app_id.c_str(), 1);
    setenv("SDL_VIDEO_WAYLAND_WMCLASS", settings.app_id.c_str(), 1);
  }
  // A write to a display server that has just died must come back as an
  // error for the handlers to report, not end the program silently through
  // SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
}

std::string DisplayNamed() {
  std::string where;
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    if (EnvSet(name))
      where += std::string(where.empty() ? " (" : " ") + name + "=" + std::getenv(name);
  }
  return where.empty() ? where : where + ")";
}

void VideoStarted() {
  const char* driver = SDL_GetCurrentVideoDriver();
  const std::string name = driver != nullptr ? driver : "";
  // Drivers that show nothing: SDL falls back to them quietly.
  if (name == "offscreen" || name == "dummy" || name == "evdev" || name.empty()) {
    throw StartupError("no visible display available (SDL video driver '" + name + "')");
  }
  g_on_x11 = name == "x11";
}

double DisplayScale(SDL_Window* window) {
  // X11 has no per-window scale; desktops publish theirs as Xft.dpi.
  if (OnX11()) return x11::XftScale(window);
  int w = 0, h = 0, pw = 0, ph = 0;
  SDL_GetWindowSize(window, &w, &h);
  SDL_GetWindowSizeInPixels(window, &pw, &ph);
  return w > 0 && pw > 0 ? static_cast<double>(pw) / w : 1.0;
}

void* HostWindow(const WindowSettings& settings) {
  return x11::HostWindow(settings);
}

void PrepareWindow(SDL_Window* window) {
  if (OnX11()) x11::PrepareWindow(window);
}

std::uint32_t PresenterWindowFlags() {
  if (OnX11() || wayland::WindowFlagsWithoutEgl == nullptr) return 0;
  return wayland::WindowFlagsWithoutEgl();
}

std::unique_ptr<Presenter> MakePresenter(SDL_Window* window) {
  return wayland::MakePresenter(window);
}

std::optional<bool> SeenFrom(const SDL_Event& event) {
  return OnX11() ? x11::SeenFrom(event) : std::nullopt;
}

std::optional<double> ScaleFrom(const SDL_Event& event) {
  return OnX11() ? x11::ScaleFrom(event) : std::nullopt;
}

bool WaitEvent(SDL_Event& event, int timeout_ms) {
  return (timeout_ms > 0 ? SDL_WaitEventTimeout(&event, timeout_ms) : SDL_PollEvent(&event)) != 0;
}

void ShowStartupError(const std::string&) {}

void BeginTeardown() {
  if (OnX11()) x11::BeginTeardown();
}

}  // namespace glimmer::platform
