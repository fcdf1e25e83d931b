// BACKEND: Wayland, its frames.
// COVERS: frames through wl_shm buffers on a subsurface over SDL's window, in
//   device pixels at the output's scale, paced by frame callbacks on an event
//   queue of our own: a frame goes when the compositor asks (the wait ends
//   then, and for nothing else of ours); the buffer shown last drawn into
//   directly once the compositor lets go of it, the other meanwhile; whether
//   the compositor shows the window at all.
// LIMITATIONS: fractional scales (wp_fractional_scale_v1 with wp_viewporter)
//   are tested on KWin only (weston 10 and sway 1.7 predate the protocol),
//   where the 741-row window is a fractional number of device rows and KWin
//   resamples the rows to fit.
// DEPENDENCIES: wayland-client; protocol glue from wayland-scanner.
#include "runtime/desktop/wayland/wayland_presenter.h"

#include <SDL3/SDL.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <optional>

#include "runtime/desktop/wayland/frame_surface.h"
#include "runtime/desktop/wayland/shm_buffers.h"
#include "runtime/desktop/wayland/wayland_globals.h"

namespace glimmer::backend::wayland {
namespace {

// The three lifetimes: the connection's globals, the buffers, and the
// surface they are committed to, torn down in that order backwards.
class WaylandPresenter;
// The window's presenter, whose frames the wait looks out for.
WaylandPresenter* g_presenter = nullptr;

class WaylandPresenter final : public Presenter, public WindowMetrics {
 public:
  explicit WaylandPresenter(SDL_Window* window) : window_(window) {}
  ~WaylandPresenter() override {
    if (g_presenter == this) g_presenter = nullptr;
  }
  WaylandPresenter(const WaylandPresenter&) = delete;
  WaylandPresenter& operator=(const WaylandPresenter&) = delete;

  bool Init(wl_display* display, wl_surface* parent) {
    if (!globals_.Bind(display) || globals_.subcompositor() == nullptr) return false;
    surface_.emplace(globals_, parent);
    globals_.Flush();
    g_presenter = this;
    return true;
  }

  std::uint64_t FramesAsked() const { return surface_->FramesAsked(); }
  bool Wait(int timeout_ms) { return globals_.Wait(timeout_ms); }

  WindowMetrics* Metrics() override { return this; }
  void Dispatch() override { globals_.Dispatch(); }
  bool PacesFrames() const override { return true; }
  bool FrameAsked() const override { return !surface_->FramePending(); }
  double Scale() override { return surface_->Scale(); }
  void ClientSize(int& width, int& height) override {
    int w = 0, h = 0;
    SDL_GetWindowSize(window_, &w, &h);
    width = DeviceLength(w);
    height = DeviceLength(h);
  }
  int ToWindowUnits(int device_pixels) override {
    return std::max(1, static_cast<int>(std::lround(device_pixels / surface_->Scale())));
  }
  bool Seen() override { return surface_->Seen(); }
  int Buffers() const override { return ShmBuffers::kCount; }
  std::optional<Buffer> Acquire() override;
  void Submit(const std::vector<Rect>& damage) override;
  bool Writable(const Buffer& b) const override { return buffers_.Writable(b); }
  std::string Describe() const override { return "wayland shm"; }

 private:
  int DeviceLength(int logical) const {
    return static_cast<int>(std::lround(logical * surface_->Scale()));
  }

  SDL_Window* window_;
  Globals globals_;
  std::optional<FrameSurface> surface_;
  ShmBuffers buffers_;
  ShmBuffer* current_ = nullptr;  // from the last Acquire
};

std::optional<FrameSink::Buffer> WaylandPresenter::Acquire() {
  // The last frame is not on the screen yet: a new one would only replace it.
  if (surface_->FramePending() || globals_.Lost()) return std::nullopt;
  int w = 0, h = 0;
  ClientSize(w, h);
  if (w <= 0 || h <= 0) return std::nullopt;
  const auto taken = buffers_.Take(globals_.shm(), w, h);
  if (!taken) return std::nullopt;
  current_ = taken->buffer;
  return taken->AsFrameBuffer();
}

void WaylandPresenter::Submit(const std::vector<Rect>& damage) {
  if (current_ == nullptr) return;
  int logical_w = 0, logical_h = 0;
  SDL_GetWindowSize(window_, &logical_w, &logical_h);
  surface_->Commit(*std::exchange(current_, nullptr), logical_w, logical_h, damage);
}

}  // namespace

bool WaitEventOrFrame(SDL_Event& event, int timeout_ms) {
  if (g_presenter == nullptr || timeout_ms <= 0) return SdlWaitEvent(event, timeout_ms);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  const std::uint64_t asked = g_presenter->FramesAsked();
  // SDL's own wait would read the compositor's word for our queue and go
  // on waiting; this one reads for both, and SDL's poll takes SDL's part.
  for (;;) {
    if (SDL_PollEvent(&event)) return true;
    if (g_presenter->FramesAsked() != asked) return false;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    // A signal ends the wait, so that the loop sees it at once.
    if (!g_presenter->Wait(static_cast<int>(left.count()))) return false;
  }
}

std::unique_ptr<Presenter> MakePresenter(SDL_Window* window) {
  const SDL_PropertiesID props = SDL_GetWindowProperties(window);
  auto* display = static_cast<wl_display*>(
      SDL_GetPointerProperty(props, SDL_PROP_WINDOW_WAYLAND_DISPLAY_POINTER, nullptr));
  auto* surface = static_cast<wl_surface*>(
      SDL_GetPointerProperty(props, SDL_PROP_WINDOW_WAYLAND_SURFACE_POINTER, nullptr));
  if (display == nullptr || surface == nullptr) return nullptr;
  auto presenter = std::make_unique<WaylandPresenter>(window);
  if (!presenter->Init(display, surface)) return nullptr;
  return presenter;
}

}  // namespace glimmer::backend::wayland
