#pragma once

#include <cstdint>
#include <functional>

#include "app/event_loop.h"
#include "app/screensaver_args.h"
#include "runtime/desktop/sdl_runtime.h"

namespace glimmer {

// The main window's settings: its start size and frame, title, icon and the
// id that names the program to the desktop.
WindowSettings MainWindowSettings();

// Opens the window and runs until it is closed; returns the exit status.
// `stats`, when given, receives what the run delivered. The program itself
// passes nothing else; the benchmarks pick the designs it turned down, and
// test builds start from a chosen state through `loaded` (see RunField).
// `host`, from a screensaver host's arguments, names a window of the host's
// to draw into instead of one of the program's own, or asks for the
// screensaver's settings dialog.
int RunProgram(RunStats* stats = nullptr, SdlRuntimeOptions options = {},
               const std::function<void(FieldWindow<SdlRuntime>&)>& loaded = {},
               const HostArgs& host = {});

// --background: on a Wayland session the layer shell's background of every
// output, on X11 the root window; refused on Windows. Returns the exit status.
int RunOnBackground();

// --screensaver: on a Wayland compositor with the layer shell, a field over
// every output; elsewhere a full-screen window on the primary display (on
// Windows over every monitor, as the .scr's /s). Ends with status 0 at the
// user's first input. Returns the exit status.
int RunScreensaver();

// --screensaver-after: waits, drawing nothing, until the desktop has been
// idle for `seconds`, covers it as RunScreensaver does until the user's
// first input, and waits again, until SIGINT or SIGTERM (status 0). Where
// the desktop tells no idle time, or there is no way to cover it, says so in
// one line and returns 1, as on Windows.
int RunScreensaverAfter(std::uint32_t seconds);

}  // namespace glimmer
