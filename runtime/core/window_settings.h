// What the window opens with, and the error when it cannot open.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace glimmer {

// The window could not be opened; the program cannot start.
class StartupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The client size in twips the window opens with, and the frame assumed when
// the window system reports none.
struct WindowSettings {
  // Where the field is drawn: a window of the program's own, or, as a
  // screensaver, a window of the host's (given by its id; on Windows a child
  // of it), the root window (the host's virtual root where it names one), or
  // a window that the user's first input ends, over every monitor (Windows)
  // or full screen on one display (Linux: one process for each).
  enum class Host { kOwnWindow, kHostWindow, kRootWindow, kScreen };
  Host host = Host::kOwnWindow;
  std::uint64_t host_window = 0;  // with kHostWindow
  // With kScreen on Linux: the display covered, 0 the primary, then the
  // others in the window system's order.
  int display = 0;
  std::string title;
  double client_width_twips = 0;
  double client_height_twips = 0;
  double frame_width_twips = 0;
  double frame_height_twips = 0;
  // Names the program to the desktop (window class, app id); empty for SDL's default.
  std::string app_id;
  // The window's icon, icon_size pixels square, 0x00RRGGBB row by row; none if empty.
  std::vector<std::uint32_t> icon;
  int icon_size = 0;
};

}  // namespace glimmer
