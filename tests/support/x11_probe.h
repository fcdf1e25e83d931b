// Looking at and poking the real program's window from outside, with Xlib:
// what a user or a window manager would see and do.
#pragma once

#include <X11/Xlib.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace glimmer::testing {

// 0x00RRGGBB pixels of a window's client area, row by row.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;

  std::uint32_t at(int x, int y) const {
    return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                  static_cast<std::size_t>(x)];
  }
  static int Red(std::uint32_t p) { return static_cast<int>((p >> 16) & 0xff); }
  static int Green(std::uint32_t p) { return static_cast<int>((p >> 8) & 0xff); }
  static int Blue(std::uint32_t p) { return static_cast<int>(p & 0xff); }
};

class XProbe {
 public:
  // The colour of a Cover window (on a 24-bit TrueColor screen).
  static constexpr std::uint32_t kCoverPixel = 0x141414;

  // Connects to `display` (e.g. ":42"); throws std::runtime_error on failure.
  explicit XProbe(const std::string& display);
  ~XProbe();
  XProbe(const XProbe&) = delete;
  XProbe& operator=(const XProbe&) = delete;

  // A viewable top-level window whose title is `title`, waited for.
  std::optional<Window> WaitForWindow(const std::string& title, std::chrono::milliseconds timeout);
  // Every viewable window titled `title`, e.g. a program's window and its
  // message box.
  std::vector<Window> WindowsTitled(const std::string& title);
  bool Exists(Window w);
  // Client size in pixels.
  std::pair<int, int> Size(Window w);
  // The frame a window manager has put around `w`, in pixels: left, right,
  // top, bottom (_NET_FRAME_EXTENTS); nullopt while it has put none.
  std::optional<std::array<long, 4>> FrameExtents(Window w);
  // Whether a window manager frames and shows a new window within `timeout`.
  bool WindowManagerReady(std::chrono::milliseconds timeout);
  // The window with its frame (the window manager's ancestor of it just
  // below the root), on the root: x, y, width, height.
  std::array<int, 4> FrameRect(Window w);
  Image Capture(Window w);
  // Captures until `pred` holds for a fresh capture or the time-out passes
  // (by default long enough for a busy machine); returns the last capture
  // either way.
  template <class Pred>
  Image CaptureUntil(Window w, Pred pred,
                     std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    Image image;
    Eventually([&] { return pred(image = Capture(w)); }, timeout, std::chrono::milliseconds(0));
    return image;
  }
  // Sets the server's own screensaver to come on after `seconds` without
  // input; whether it is on now (MIT-SCREEN-SAVER); holds it off, as a
  // video player does, or lets go.
  void SetScreensaverTimeout(int seconds);
  bool ScreensaverOn();
  void HoldScreensaverOff(bool hold);
  // Asks the window to close, as a window manager's close button does.
  void RequestClose(Window w);
  void Resize(Window w, int width, int height);
  void Iconify(Window w);
  void MapRaised(Window w);
  bool Viewable(Window w);
  // Maps an opaque window of another client over all of `w`, as another
  // application's window would; returns it for RemoveCover.
  Window Cover(Window w);
  void RemoveCover(Window cover);
  // Maps a black top-level window of this client's, as a screensaver host
  // makes for its hack to draw into.
  Window MapHostWindow(int width, int height);
  // WM_CLASS as "instance/class"; empty if unset.
  std::string WmClass(Window w);
  // A property of format 32 (such as _NET_WM_ICON), as its values; empty if unset.
  std::vector<unsigned long> Property32(Window w, const std::string& name);
  // Sets a root-window resource such as "Xft.dpi:\t192".
  void SetResources(const std::string& resources);
  Display* display() const { return display_; }

 private:
  void CollectByTitle(Window root, const std::string& title, std::vector<Window>& found);
  Display* display_ = nullptr;
};

// The number of pixels that are not black.
std::size_t LitCount(const Image& image);

// Lit pixels with a channel below `min_channel`: neither black nor a point
// (nor the ball, which is white).
std::size_t DimCount(const Image& image, int min_channel = 30);

// Lit pixels in each quarter of the image: top left, top right, bottom left,
// bottom right.
std::array<std::size_t, 4> LitPerQuarter(const Image& image);

// Pixels lit in `before` (the ball's white aside, which moves) that are black
// in `after`, both of the same size. The spray only ever lights pixels, so
// one comparison of two presented frames needs no waiting for it to settle.
std::size_t LostPoints(const Image& before, const Image& after);

// How many points, spread uniformly over a `spread_width` x `spread_height`
// pixel area of which `image` is a part, it takes on average to light as
// many of its pixels as are lit (points landing on lit pixels add nothing).
double PointsForCoverage(const Image& image, double spread_width, double spread_height);

}  // namespace glimmer::testing
