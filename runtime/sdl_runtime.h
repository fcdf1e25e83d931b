// The platform on SDL2: the window, its ball, the canvas, the clock, the
// random generator and error reporting. The only code that touches SDL or a
// clock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/canvas.h"
#include "runtime/handler_state.h"
#include "runtime/pcg32.h"
#include "runtime/platform.h"
#include "runtime/services.h"

struct SDL_Window;
struct SDL_Surface;
struct SDL_Renderer;
struct SDL_Texture;
union SDL_Event;

namespace glimmer {

// The window could not be opened; the program cannot start.
class StartupError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The client size in twips the window opens with, and the frame assumed when
// the window system reports none.
struct WindowSettings {
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

// How frames reach the screen. The program always uses the window surface;
// the renderer path is kept only so that benchmarks can show what it costs.
enum class PresentPath {
  kWindowSurface,  // plots go straight into the surface, shared memory on X11
  kRenderer,       // a streaming texture, uploaded whole and presented by an SDL_Renderer
};

struct SdlRuntimeOptions {
  PresentPath present = PresentPath::kWindowSurface;
};

// Shows a start-up failure where the user looks; stderr already has it.
void ShowStartupError(const std::string& message);

class SdlRuntime : public HandlerState {
 public:
  explicit SdlRuntime(SdlRuntimeOptions options = {});
  ~SdlRuntime();
  SdlRuntime(const SdlRuntime&) = delete;
  SdlRuntime& operator=(const SdlRuntime&) = delete;

  // Opens the window, hidden, at its start size. Throws StartupError.
  void Open(const WindowSettings& settings);

  // The handlers' services beyond HandlerState's.
  void Reseed();
  void CreateBall(Single left, Single top, Single width);

  // The event loop's side.
  Nanos Now() const;
  Nanos FramePeriod() const;
  void Show();
  void Present();
  void WaitUntil(Nanos deadline);
  // Takes the window events already waiting, without blocking.
  void PollEvents();
  // A close of the window, or SIGINT or SIGTERM.
  bool CloseRequested() const { return close_requested_ || platform::EndRequested(); }
  // False while the window is minimised, hidden or fully covered, or the
  // compositor asks for no frames: nobody sees one.
  bool Visible() const { return visible_ && !covered_ && (!presenter_ || presenter_->Seen()); }
  void ShowError(const std::string& message);
  // See platform::SetModalStep.
  void SetModalStep(std::function<void()> step);

  // For measurements and tests.
  double scale() const { return canvas_.mapping().scale(); }
  // "window surface", "wayland shm", or "renderer " and the SDL render
  // driver's name.
  std::string PresentDescription() const;

 private:
  void HandleEvent(const SDL_Event& event);
  void RefreshGeometry();
  void SetIcon();
  // The client area in device pixels, or false when not known yet.
  bool ClientPixels(int& width, int& height) const;
  // The window opens centred where it fits, else with its top-left corner
  // and title bar on the screen.
  void Place();
  void SetRingShape();
  // A new display scale from the window system, in force from the next frame.
  void Rescale(double scale);
  void PresentThroughPresenter();
  // Damage for the points plotted since the last frame, a tile at a time.
  void AddNewPointDamage();
  void AttachSurface();
  // Brings a copy of the canvas up to date and draws the ball over it.
  void ComposeFrame(std::uint32_t* pixels, int pitch);
  void AttachRendererTarget();
  void DropTarget();
  void PresentThroughRenderer();

  SdlRuntimeOptions options_;
  WindowSettings settings_;
  SDL_Window* window_ = nullptr;
  SDL_Surface* surface_ = nullptr;  // owned by SDL, valid until the next resize
  SDL_Surface* shadow_ = nullptr;   // 32-bit stand-in when the surface is not
  // The renderer path only: the frame kept in memory and its texture.
  SDL_Renderer* renderer_ = nullptr;
  SDL_Texture* texture_ = nullptr;
  std::vector<std::uint32_t> frame_;
  // A platform's own present path: each buffer with what it still lacks.
  struct PresenterTarget {
    BallOverlay overlay;
    std::vector<std::pair<int, int>> missing;  // plotted since it was last drawn
    bool full = true;                          // needs the whole canvas
  };
  std::unique_ptr<platform::Presenter> presenter_;
  std::vector<PresenterTarget> targets_;
  Canvas::PlotLog plot_log_;
  std::vector<platform::Presenter::Rect> damage_;
  std::vector<bool> damaged_tiles_;
  platform::Presenter::Rect last_ring_{0, 0, 0, 0};
  bool sdl_started_ = false;
  bool close_requested_ = false;
  bool full_repaint_ = true;
  bool visible_ = false;
  bool covered_ = false;

  BallOverlay overlay_;
  int client_w_ = 0;
  int client_h_ = 0;
};

}  // namespace glimmer
