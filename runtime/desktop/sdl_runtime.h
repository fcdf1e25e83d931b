// The desktop runtime on SDL3: the window, its events and the wake-ups,
// around the core every runtime shares. Frames go through SDL's window
// surface or a backend's Presenter; what a window system adds comes through
// its backend (backend.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "runtime/core/frame_sink.h"
#include "runtime/core/runtime_core.h"
#include "runtime/core/types.h"
#include "runtime/core/window_settings.h"
#include "runtime/desktop/backend.h"

struct SDL_Window;
struct SDL_Surface;
union SDL_Event;

namespace glimmer {

struct SdlRuntimeOptions {
  // Makes the sink frames go through for a window just created, still
  // hidden, in place of the backend's own; for benchmarks of other ways.
  std::function<std::unique_ptr<FrameSink>(SDL_Window*)> make_sink;
};

// A start-up failure, already on stderr, shown where the user looks; a
// screensaver's settings dialog, owned by the host's window `owner` (0:
// none). Both return once dismissed.
void ShowStartupError(const std::string& message);
void ShowSettingsDialog(std::uint64_t owner, const std::string& title, const std::string& message);

// The window's facts as SDL and the backend's events tell them: its size in
// pixels, the display scale, whether it is covered.
class SdlMetrics final : public WindowMetrics {
 public:
  void Attach(SDL_Window* window, double scale) {
    window_ = window;
    scale_ = scale;
  }
  // The window system's word: a new scale or a change in what covers it.
  void Observe(const backend::WindowNews& news);
  double Scale() override { return scale_; }
  void ClientSize(int& width, int& height) override;
  int ToWindowUnits(int device_pixels) override { return device_pixels; }
  bool Seen() override { return !covered_; }

 private:
  SDL_Window* window_ = nullptr;
  double scale_ = 1.0;
  bool covered_ = false;
};

class SdlRuntime : public RuntimeCore {
 public:
  explicit SdlRuntime(SdlRuntimeOptions options = {});
  ~SdlRuntime();
  SdlRuntime(const SdlRuntime&) = delete;
  SdlRuntime& operator=(const SdlRuntime&) = delete;

  // Opens the window, hidden, at its start size. Throws StartupError.
  void Open(const WindowSettings& settings);

  // The event loop's side.
  Nanos FramePeriod() const;
  void Show();
  void Present();
  // Where the window system asks for each frame (PacedRuntime).
  bool PacesFrames() const { return presenter_ != nullptr && presenter_->PacesFrames(); }
  bool FrameAsked() const { return presenter_ != nullptr && presenter_->FrameAsked(); }
  void WaitUntil(Nanos deadline);
  // Takes the window events already waiting, without blocking.
  void PollEvents();
  // A close of the window, or SIGINT or SIGTERM.
  bool CloseRequested() const;
  // False while the window is minimised, hidden or fully covered, or the
  // compositor asks for no frames: nobody sees one.
  bool Visible() const { return visible_ && metrics_->Seen(); }
  void ShowError(const std::string& message);
  // See Backend::SetModalStep.
  void SetModalStep(std::function<void()> step);

  // How frames reach the screen, for measurements.
  std::string PresentDescription() const { return sink_->Describe(); }
  // Whether the session may go idle (blank, lock, save power) while it runs.
  bool IdleAllowed() const;

 private:
  void HandleEvent(const SDL_Event& event);
  // What the backend's own watch on the window system has seen.
  void TakeNews();
  // What the presenter was told about its frames and buffers; a buffer the
  // window system is done with takes plots directly from here on.
  void TakeFrameNews();
  // Brings the core up to the window's scale and size.
  void SyncGeometry();
  void SetIcon();
  // The window opens centred where it fits, else with its top-left corner
  // and title bar on the screen.
  void Place();

  SdlRuntimeOptions options_;
  const backend::Backend* backend_ = nullptr;  // once SDL has started
  WindowSettings settings_;
  SDL_Window* window_ = nullptr;
  SdlMetrics sdl_metrics_;
  std::unique_ptr<backend::Presenter> presenter_;
  std::unique_ptr<FrameSink> own_sink_;
  WindowMetrics* metrics_ = &sdl_metrics_;
  FrameSink* sink_ = nullptr;
  bool sdl_started_ = false;
  bool close_requested_ = false;
  bool visible_ = false;
};

#ifndef _WIN32
// The desktop's idle time for a resident screensaver where it has no layers
// for the field, which is then SDL's window with the host kScreen.
class DesktopIdle {
 public:
  virtual ~DesktopIdle() = default;
  // Blocks until the user has left keyboard and pointer alone for the
  // seconds given, unless something holds idle off; false when SIGINT or
  // SIGTERM asks to end first.
  virtual bool WaitForIdle() = 0;
  // While the field is up: where the desktop tells of the user's return
  // itself, that ends the field's window as the user's input does.
  virtual void WatchForReturn() {}
  virtual void StopWatchingForReturn() {}
};

// The X server's idle time (MIT-SCREEN-SAVER), on a connection of its own
// to the server DISPLAY names. Throws StartupError where it cannot connect,
// or where the server lacks the extension.
std::unique_ptr<DesktopIdle> X11IdleTime(std::uint32_t seconds);
// GNOME's idle time (org.gnome.Mutter.IdleMonitor on the session bus, and
// org.gnome.SessionManager's word on whether idle is inhibited). Throws
// StartupError where the session bus or the monitor is missing.
std::unique_ptr<DesktopIdle> GnomeIdleTime(std::uint32_t seconds);

// Runs `cover(0)`, a window with the host kScreen on the primary display,
// here, and `cover(n)` for each other display in a process of its own. The
// first window to end ends the others; the status is the first error's, or
// 0.
int CoverEveryScreen(const std::function<int(int display)>& cover);
// After those windows have closed: whether the user's input ended them
// (true once), rather than a signal.
bool TakeScreenEndedByInput();
#endif

}  // namespace glimmer
