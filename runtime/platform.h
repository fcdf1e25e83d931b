// What a window system or operating system adds to the portable SDL runtime.
// Each runtime/platform_<name>.cpp fills in this list and CMake picks the
// files for the target, so the portable code carries no #ifdef per platform.
// A new platform starts as a copy of one of them.
#pragma once

#include <cstdint>
#include <functional>
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
// show a window. Start-up runs from here until StartupDone: where the
// platform has them, SIGINT and SIGTERM meanwhile end the program at once
// with status 0, and a display that does not answer within kAnswerSeconds
// ends it with one line on stderr and status 1.
void PrepareVideo(const WindowSettings& settings);
inline constexpr int kAnswerSeconds = 10;

// The window is shown: start-up is over.
void StartupDone();

// Whether SIGINT or SIGTERM has asked the program to end, as a close does.
bool EndRequested();

// Shows the window without waiting for a window manager to map it. Whether
// it is mapped now; if not, SDL reports it shown once it is.
bool ShowWithoutWaiting(SDL_Window* window);

// Shows a run-time error, already printed on stderr, and returns once the
// user has dismissed it. SIGINT or SIGTERM meanwhile end the program with
// status 1, taking down whatever process shows the box.
void ShowRunTimeError(SDL_Window* window, const std::string& title, const std::string& message);

// Device pixels per pixel at 96 dpi for the display the window, created
// hidden at its 96-dpi size, is on.
double DisplayScale(SDL_Window* window);

// The window was just created and is still hidden.
void PrepareWindow(SDL_Window* window);

// Waits up to `timeout_ms` for an event (0: only looks) and takes it;
// false if none came.
bool WaitEvent(SDL_Event& event, int timeout_ms);

// While the window system holds the thread in a loop of its own, in which
// SDL's event pump does not return (Windows' modal loop while the title bar
// is held, the window is sized by its border or its system menu is open),
// calls `step` every few milliseconds; nothing where there is no such loop.
// `step` must not pump events. An empty `step` stops this.
void SetModalStep(std::function<void()> step);

// A start-up failure, already printed on stderr, shown where the user looks.
void ShowStartupError(const std::string& message);

// The window is about to be destroyed.
void BeginTeardown();

}  // namespace glimmer::platform
