#pragma once

#include <X11/Xlib.h>

#include <array>
#include <chrono>
#include <optional>
#include <string>

namespace glimmer::testing {

// A window manager that has taken over mapping (SubstructureRedirect on the
// root) and grants every request but the maps, which it withholds until told
// to map, as one still starting up may.
class WithholdingWindowManager {
 public:
  // Connects to `display` and takes over; throws std::runtime_error on failure.
  explicit WithholdingWindowManager(const std::string& display);
  ~WithholdingWindowManager();
  WithholdingWindowManager(const WithholdingWindowManager&) = delete;
  WithholdingWindowManager& operator=(const WithholdingWindowManager&) = delete;
  // Serves requests until a window asks to be mapped and returns it, not
  // mapped; nullopt after `timeout`.
  std::optional<Window> WaitForMapRequest(std::chrono::milliseconds timeout);
  // Serves requests for `span`, withholding every map.
  void Serve(std::chrono::milliseconds span);
  void Map(Window w);
  // Names the frame it puts around `w` (left, right, top, bottom pixels) in
  // _NET_FRAME_EXTENTS, as a window manager does; a borderless or tiling one
  // names zeros.
  void SetFrameExtents(Window w, const std::array<long, 4>& sides);

 private:
  // Handles the requests waiting; the window that asked to be mapped, if any.
  std::optional<Window> HandleRequests();
  Display* display_ = nullptr;
};

}  // namespace glimmer::testing
