// The arguments a screensaver host starts the program with. Started plainly,
// the program ignores every argument; only these switch it to drawing into a
// window that the host owns, or to the screensaver's own modes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "runtime/core/window_settings.h"

namespace glimmer {

struct HostArgs {
  WindowSettings::Host host = WindowSettings::Host::kOwnWindow;
  // With kHostWindow: the host's window (an X window, or on Windows the
  // preview's parent). With `settings`: the window the dialog belongs to, or 0.
  std::uint64_t window = 0;
  // Windows' "Settings" button: a dialog, and no animation.
  bool settings = false;
};

// The program's file name says how it was started: a name ending in ".scr"
// (any case) is Windows' screensaver, which speaks Windows' protocol:
//   /s              the whole virtual screen, ended by the user's input;
//   /p HWND         the preview, in a child of HWND (unsigned decimal);
//   /c, /c:HWND     the settings dialog, owned by HWND when given;
//   no argument     the settings dialog.
// A dash may stand for the slash, the letters may be in either case, the
// handle may follow a colon, and anything else is ignored.
//
// Any other name speaks xscreensaver's: `--root` (or `-root`), and
// `--window-id ID` (or `-window-id ID`, or `--window-id=ID`) with ID in hex
// (0x...) or decimal. Anything else, or an id that is not a number, leaves
// the program as it is.
HostArgs ParseHostArgs(const std::string& program, const std::vector<std::string>& args);

}  // namespace glimmer
