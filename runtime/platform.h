// What a window system or operating system adds to the portable SDL runtime.
// Each runtime/platform_<name>.cpp fills in this list and CMake picks the
// files for the target, so the portable code carries no #ifdef per platform.
// A new platform starts as a copy of one of them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct SDL_Window;
union SDL_Event;

namespace glimmer {
struct WindowSettings;
}

namespace glimmer::platform {

// A way for frames to reach the screen other than SDL's window surface, for a
// window system where that surface would be costly. Buffers are in device
// pixels, 0x00RRGGBB.
class Presenter {
 public:
  struct Buffer {
    std::uint32_t* pixels = nullptr;
    int pitch = 0;       // in pixels
    int index = 0;       // which buffer, 0 .. kBuffers - 1: each keeps its last frame
    bool fresh = false;  // new: it holds none of the frames before
  };
  struct Rect {
    int x, y, width, height;
  };
  static constexpr int kBuffers = 2;

  virtual ~Presenter() = default;
  // Device pixels per 96-dpi pixel where the window is now.
  virtual double Scale() = 0;
  // The client area in device pixels; 0 x 0 before the window has a size.
  virtual void ClientSize(int& width, int& height) = 0;
  // Window sizes given to SDL for a length in device pixels.
  virtual int ToWindowUnits(int device_pixels) = 0;
  // Whether a frame would be seen: false once the compositor has stopped
  // asking for frames, true again when it asks.
  virtual bool Seen() = 0;
  // A buffer of ClientSize() that the compositor does not hold, or none while
  // the last frame is not on the screen yet or every buffer is in use.
  virtual std::optional<Buffer> Acquire() = 0;
  // Shows the buffer from the last Acquire, which differs from the frame
  // before it only inside `damage` (empty: everywhere).
  virtual void Submit(const std::vector<Rect>& damage) = 0;
};

// Extra SDL window flags for a window whose frames a Presenter will show.
std::uint32_t PresenterWindowFlags();

// For a window just created, still hidden: its presenter, or null where
// SDL's window surface is the way.
std::unique_ptr<Presenter> MakePresenter(SDL_Window* window);

// A window-system event SDL passed on as SDL_SYSWMEVENT: whether it says the
// window is now seen (true) or fully covered (false), or nothing about that.
std::optional<bool> SeenFrom(const SDL_Event& event);
// The same: the display scale it says is now in force, or nothing. (Where a
// Presenter is used, it tells the scale instead.)
std::optional<double> ScaleFrom(const SDL_Event& event);

// Before SDL starts: chooses the video drivers SDL may try (SDL_VIDEODRIVER
// stays the user's override) and sets up what the process needs, such as
// error handlers or DPI awareness. Throws StartupError when nothing could
// show a window.
void PrepareVideo(const WindowSettings& settings);

// SDL has started its video subsystem on one of the drivers PrepareVideo
// allowed: the platform notes which, once.
void VideoStarted();

// Device pixels per pixel at 96 dpi for the display the window, created
// hidden at its 96-dpi size, is on.
double DisplayScale(SDL_Window* window);

// The window was just created and is still hidden.
void PrepareWindow(SDL_Window* window);

// Waits up to `timeout_ms` for an event (0: only looks) and takes it;
// false if none came.
bool WaitEvent(SDL_Event& event, int timeout_ms);

// A start-up failure, already printed on stderr, shown where the user looks.
void ShowStartupError(const std::string& message);

// The window is about to be destroyed.
void BeginTeardown();

}  // namespace glimmer::platform
