// The command line: the modes that switch the program from its own window to
// a window a screensaver host owns, the screen, the desktop's background, or
// a screensaver of its own, and the options that only print (help, version).
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
  // With kScreen on Linux: which display (0 the primary).
  int display = 0;
  // Windows' "Settings" button: a dialog, and no animation.
  bool settings = false;
  // What else the command line asks for.
  enum class Action {
    kRun,          // the field in the window `host` names
    kBackground,   // the field on the desktop's background, on every output
    kScreensaver,  // the field over everything, until the user's first input
    kResident,     // the same after `idle_seconds` without input, again and again
    kHelp,         // print Usage() and end
    kVersion,      // print the version and end
    kRefuse,       // print `error` and end with status 2
  };
  Action action = Action::kRun;
  std::string error;  // with kRefuse: what is wrong, in one line
  // With kResident: how long the user must leave the desktop alone.
  std::uint32_t idle_seconds = 0;
};

// What --help prints.
std::string Usage();

// The program's file name says how it was started: a name ending in ".scr"
// (any case) is Windows' screensaver, which speaks Windows' protocol:
//   /s              the whole virtual screen, ended by the user's input;
//   /p HWND         the preview, in a child of HWND (unsigned decimal);
//   /c, /c:HWND     the settings dialog, owned by HWND when given;
//   no argument     the settings dialog.
// A dash may stand for the slash, the letters may be in either case, the
// handle may follow a colon, and anything else is ignored.
//
// Any other name takes `--background`, `--screensaver`,
// `--screensaver-after SECONDS` (or `=SECONDS`), `--help` and `--version`, and
// xscreensaver's forms: `--root` (or `-root`), and `--window-id ID` (or
// `-window-id ID`, or `--window-id=ID`) with ID in hex (0x...) or decimal.
// Modes exclude each other. Beside xscreensaver's forms anything else is
// passed over, as xscreensaver adds options of its own; otherwise an unknown
// argument, or an id that is not a number, is refused.
HostArgs ParseHostArgs(const std::string& program, const std::vector<std::string>& args);

}  // namespace glimmer
