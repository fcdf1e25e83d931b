// The one seam through which frames reach the screen, and the facts about the
// window that frames follow. RuntimeCore::Present draws every frame the same
// way into whichever sink a runtime holds: SDL's window surface (X11,
// Windows), the Wayland presenter's buffers, the page's canvas.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "runtime/core/canvas.h"

namespace glimmer {

// A rectangle of device pixels.
struct Rect {
  int x, y, width, height;
};

// Where frames go: a buffer to draw into, then shown with what changed.
class FrameSink {
 public:
  struct Buffer {
    std::uint32_t* pixels = nullptr;
    int width = 0;  // device pixels
    int height = 0;
    int pitch = 0;  // in pixels
    PixelLayout layout;
    int index = 0;       // which of Buffers() it is: each keeps its last frame
    bool fresh = false;  // new memory: it holds none of the frames before
  };
  virtual ~FrameSink() = default;

  // How many buffers it takes turns with. With one, the same memory comes
  // back every frame until one is fresh, so plots can go straight into it.
  virtual int Buffers() const = 0;
  // A buffer for the next frame, or none while no frame can be shown.
  virtual std::optional<Buffer> Acquire() = 0;
  // Shows the buffer from the last Acquire, which differs from the frame
  // shown before it (whichever buffer held that one) only inside `damage`
  // (empty: anywhere), as a compositor's damage is counted.
  virtual void Submit(const std::vector<Rect>& damage) = 0;
  // Whether `buffer`, as Acquire last handed out its index and Submit showed
  // it, may be drawn into now, before it is acquired again: the window system
  // reads it no more, and the memory is still the one handed out. A sink
  // that is done with a buffer once Submit returns, and replaces memory only
  // in Acquire, keeps this.
  virtual bool Writable(const Buffer&) const { return true; }
  // How frames reach the screen, for measurements.
  virtual std::string Describe() const = 0;
};

// What the window system says about the window, kept apart from its frames.
class WindowMetrics {
 public:
  virtual ~WindowMetrics() = default;
  // Device pixels per 96-dpi pixel where the window is now.
  virtual double Scale() = 0;
  // The client area in device pixels; 0 x 0 before the window has a size.
  virtual void ClientSize(int& width, int& height) = 0;
  // A length in device pixels in the units the window system sizes windows in.
  virtual int ToWindowUnits(int device_pixels) = 0;
  // Whether a frame would be seen now.
  virtual bool Seen() = 0;
};

}  // namespace glimmer
