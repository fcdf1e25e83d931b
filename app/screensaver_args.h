// The arguments a screensaver host starts the program with. Started plainly,
// the program ignores every argument; only these switch it to drawing into a
// window that the host owns.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "runtime/window_settings.h"

namespace glimmer {

struct HostArgs {
  WindowSettings::Host host = WindowSettings::Host::kOwnWindow;
  std::uint64_t window = 0;
};

// xscreensaver's: `--root` (or `-root`), and `--window-id ID` (or
// `-window-id ID`, or `--window-id=ID`) with ID in hex (0x...) or decimal.
// Anything else, or an id that is not a number, leaves the program as it is.
HostArgs ParseHostArgs(const std::vector<std::string>& args);

}  // namespace glimmer
