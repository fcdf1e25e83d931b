#include "app/program.h"

#include <utility>

#include "app/icon_art.h"
#include "runtime/desktop/sdl_runtime.h"
#ifndef _WIN32
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "app/desktop_layers.h"
#endif

namespace glimmer {

WindowSettings MainWindowSettings() {
  WindowSettings settings = WindowDescription::Window();
  settings.app_id = GLIMMER_APP_ID;
  settings.icon_size = icon_art::kWindowIconSize;
  settings.icon = icon_art::DrawPixels(settings.icon_size, icon_art::MakeSpeckles());
  return settings;
}

int RunProgram(RunStats* stats, SdlRuntimeOptions options,
               const std::function<void(FieldWindow<SdlRuntime>&)>& loaded, const HostArgs& host) {
  if (host.settings) {
    // The program has no options, so the dialog only says so.
    ShowSettingsDialog(host.window, "Glimmerfeld",
                       "Glimmerfeld has nothing to set: it has no options.");
    return 0;
  }
  SdlRuntime runtime(std::move(options));
  WindowSettings settings = MainWindowSettings();
  settings.host = host.host;
  settings.host_window = host.window;
  settings.display = host.display;
  try {
    runtime.Open(settings);
  } catch (const StartupError& e) {
    PrintError(e.what());
    ShowStartupError(e.what());
    return 1;
  }
  if (stats != nullptr) stats->present = runtime.PresentDescription();
  const int status = RunField(runtime, stats, loaded);
  if (stats != nullptr) {
    stats->idle_allowed = runtime.IdleAllowed();
    stats->outer_width = runtime.WindowWidth();
    stats->outer_height = runtime.WindowHeight();
    stats->full_copies = runtime.full_copies();
    stats->kept_copies = runtime.kept_copies();
    stats->replayed_points = runtime.replayed_points();
  }
  return status;
}

#ifndef _WIN32
namespace {

// SDL's full-screen window on every display, one process for each.
int CoverTheScreens(const HostArgs& screen) {
  return CoverEveryScreen([&](int display) {
    HostArgs on = screen;
    on.display = display;
    return RunProgram(nullptr, {}, {}, on);
  });
}

}  // namespace
#endif

int RunOnBackground() {
#ifdef _WIN32
  PrintError(
      "--background is for Linux desktops; on Windows use the screensaver (glimmerfeld.scr)");
  return 1;
#else
  // Xwayland's root window is nobody's background: where there is a Wayland
  // session, the compositor's layers are.
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (wayland != nullptr && wayland[0] != '\0') return RunBackground();
  HostArgs root;
  root.host = WindowSettings::Host::kRootWindow;
  return RunProgram(nullptr, {}, {}, root);
#endif
}

int RunScreensaver() {
  HostArgs screen;
  screen.host = WindowSettings::Host::kScreen;
#ifndef _WIN32
  // A compositor's overlay covers every output and its panels; where it has
  // none (GNOME's mutter, weston) SDL's full-screen window stands in.
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (wayland != nullptr && wayland[0] != '\0') {
    if (const std::optional<int> status = RunScreensaverLayers()) return *status;
  }
  return CoverTheScreens(screen);
#else
  return RunProgram(nullptr, {}, {}, screen);
#endif
}

int RunScreensaverAfter([[maybe_unused]] std::uint32_t seconds) {
#ifdef _WIN32
  PrintError(
      "--screensaver-after is for Linux desktops; on Windows choose the screensaver "
      "(glimmerfeld.scr) in the Screen Saver settings, which start it after their own wait");
  return 1;
#else
  // On Wayland the compositor's layers; without them (GNOME's mutter),
  // GNOME's idle monitor and SDL's window; on X11 the server's idle time.
  std::unique_ptr<DesktopIdle> idle;
  try {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* x11 = std::getenv("DISPLAY");
    if (wayland != nullptr && wayland[0] != '\0') {
      if (const std::optional<int> status = RunResidentLayers(seconds)) return *status;
      try {
        idle = GnomeIdleTime(seconds);
      } catch (const StartupError& e) {
        throw StartupError("the compositor (WAYLAND_DISPLAY=" + std::string(wayland) +
                           ") has no layer shell (wlr-layer-shell), which --screensaver-after "
                           "needs, and " +
                           e.what());
      }
    } else if (x11 != nullptr && x11[0] != '\0') {
      idle = X11IdleTime(seconds);
    } else {
      throw StartupError("no display to wait on (neither DISPLAY nor WAYLAND_DISPLAY is set)");
    }
  } catch (const StartupError& e) {
    PrintError(e.what());
    return 1;
  }
  HostArgs screen;
  screen.host = WindowSettings::Host::kScreen;
  for (;;) {
    if (!idle->WaitForIdle()) return 0;
    idle->WatchForReturn();
    const int status = CoverTheScreens(screen);
    idle->StopWatchingForReturn();
    // Ended by a signal or an error, the program ends; by input, it waits.
    if (status != 0 || !TakeScreenEndedByInput()) return status;
  }
#endif
}

}  // namespace glimmer
