#include "runtime/sdl_runtime.h"

#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>

#include "runtime/platform.h"

namespace glimmer {
namespace {

PixelLayout LayoutOf(const SDL_PixelFormat& f) {
  return PixelLayout{f.Rshift, f.Gshift, f.Bshift, f.Amask};
}

// Plots remembered for buffers that are not the canvas's mirror; past this
// many since a buffer was last drawn, it is drawn whole instead.
constexpr std::size_t kPlotLogCap = 8192;
// Damage is sent in tiles of this many device pixels a side, and as the
// whole window beyond this many tiles.
constexpr int kDamageTile = 32;
constexpr std::size_t kMaxDamageRects = 256;

bool IsPlain32(const SDL_Surface* s) {
  const SDL_PixelFormat* f = s->format;
  return f->BytesPerPixel == 4 && f->Rloss == 0 && f->Gloss == 0 && f->Bloss == 0 &&
         f->Rshift % 8 == 0 && f->Gshift % 8 == 0 && f->Bshift % 8 == 0 && !SDL_MUSTLOCK(s) &&
         s->pitch % 4 == 0;
}

}  // namespace

void ShowStartupError(const std::string& message) {
  platform::ShowStartupError(message);
}

SdlRuntime::SdlRuntime(SdlRuntimeOptions options) : options_(options) {}

SdlRuntime::~SdlRuntime() {
  platform::BeginTeardown();
  presenter_.reset();  // its surface hangs off the window's
  if (texture_ != nullptr) SDL_DestroyTexture(texture_);
  if (renderer_ != nullptr) SDL_DestroyRenderer(renderer_);
  if (shadow_ != nullptr) SDL_FreeSurface(shadow_);
  if (window_ != nullptr) SDL_DestroyWindow(window_);
  if (sdl_started_) SDL_Quit();
}

void SdlRuntime::Open(const WindowSettings& settings) {
  settings_ = settings;
  platform::PrepareVideo(settings_);
  if (SDL_Init(SDL_INIT_VIDEO) != 0) {
    // Name the display that could not be reached, where the platform has one.
    std::string where;
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
      const char* v = std::getenv(name);
      if (v != nullptr && v[0] != '\0')
        where += std::string(where.empty() ? " (" : " ") + name + "=" + v;
    }
    throw StartupError("cannot connect to the display" + where + (where.empty() ? "" : ")") + ": " +
                       SDL_GetError());
  }
  sdl_started_ = true;
  const char* driver = SDL_GetCurrentVideoDriver();
  const std::string name = driver != nullptr ? driver : "";
  if (name == "offscreen" || name == "dummy" || name == "evdev" || name.empty()) {
    throw StartupError("no visible display available (SDL video driver '" + name + "')");
  }

  const TwipMapping at96(1.0);
  const bool own_present = options_.present == PresentPath::kWindowSurface;
  window_ =
      SDL_CreateWindow(settings_.title.c_str(), SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                       at96.PixelLength(settings_.client_width_twips),
                       at96.PixelLength(settings_.client_height_twips),
                       SDL_WINDOW_HIDDEN | SDL_WINDOW_RESIZABLE |
                           (own_present ? platform::PresenterWindowFlags() : 0));
  if (window_ == nullptr) {
    throw StartupError(std::string("cannot create the window: ") + SDL_GetError());
  }
  platform::PrepareWindow(window_);
  SetIcon();
  if (options_.present == PresentPath::kRenderer) {
    // Made while the window is hidden: a GL renderer may recreate the window.
    renderer_ = SDL_CreateRenderer(window_, -1, 0);
    if (renderer_ == nullptr) {
      throw StartupError(std::string("cannot create a renderer: ") + SDL_GetError());
    }
  } else {
    presenter_ = platform::MakePresenter(window_);
    if (presenter_ == nullptr && platform::PresenterWindowFlags() != 0) {
      throw StartupError("the display offers no shared-memory buffers or subsurfaces");
    }
  }
  if (presenter_ != nullptr) {
    targets_.resize(platform::Presenter::kBuffers);
    plot_log_.cap = kPlotLogCap;
    canvas_.SetPlotLog(&plot_log_);
  }
  // The client area is fixed in twips; at a higher display scale it takes
  // more device pixels. Some window systems size windows in other units.
  canvas_.SetScale(presenter_ != nullptr ? presenter_->Scale() : platform::DisplayScale(window_));
  const TwipMapping& m = canvas_.mapping();
  const int w = m.PixelLength(settings_.client_width_twips);
  const int h = m.PixelLength(settings_.client_height_twips);
  if (presenter_ != nullptr) {
    SDL_SetWindowSize(window_, presenter_->ToWindowUnits(w), presenter_->ToWindowUnits(h));
  } else {
    SDL_SetWindowSize(window_, w, h);
    Place();
  }
  RefreshGeometry();
}

void SdlRuntime::SetIcon() {
  const int n = settings_.icon_size;
  if (n <= 0 ||
      settings_.icon.size() != static_cast<std::size_t>(n) * static_cast<std::size_t>(n)) {
    return;
  }
  std::vector<std::uint32_t> argb(settings_.icon);
  for (auto& p : argb)
    p |= 0xff000000u;  // opaque
  SDL_Surface* icon =
      SDL_CreateRGBSurfaceWithFormatFrom(argb.data(), n, n, 32, n * 4, SDL_PIXELFORMAT_ARGB8888);
  // Without an icon the window still works: the desktop shows its generic one.
  if (icon == nullptr) return;
  SDL_SetWindowIcon(window_, icon);
  SDL_FreeSurface(icon);
}

void SdlRuntime::Place() {
  SDL_Rect usable;
  const int display = SDL_GetWindowDisplayIndex(window_);
  if (display < 0 || SDL_GetDisplayUsableBounds(display, &usable) != 0) return;
  int w = 0, h = 0;
  SDL_GetWindowSize(window_, &w, &h);
  // The frame is not known before the window is shown: the assumed one, its
  // sides and bottom alike and the rest on top.
  const TwipMapping& m = canvas_.mapping();
  const int frame_w = m.PixelLength(settings_.frame_width_twips);
  const int frame_h = m.PixelLength(settings_.frame_height_twips);
  const int side = frame_w / 2;
  const int top = std::max(0, frame_h - side);
  const int x = usable.x + std::max(0, (usable.w - w - frame_w) / 2) + side;
  const int y = usable.y + std::max(0, (usable.h - h - frame_h) / 2) + top;
  SDL_SetWindowPosition(window_, x, y);
}

void SdlRuntime::Rescale(double scale) {
  const double old_scale = canvas_.mapping().scale();
  canvas_.Rescale(scale);
  const double ratio = canvas_.mapping().scale() / old_scale;
  if (ratio == 1.0) return;
  SetRingShape();
  // The client area keeps its size in twips: more device pixels now.
  SDL_SetWindowSize(window_, std::max(1, static_cast<int>(std::lround(client_w_ * ratio))),
                    std::max(1, static_cast<int>(std::lround(client_h_ * ratio))));
  RefreshGeometry();
  DropTarget();
}

bool SdlRuntime::ClientPixels(int& width, int& height) const {
  width = 0;
  height = 0;
  if (presenter_ != nullptr) {
    presenter_->ClientSize(width, height);
  } else {
    SDL_GetWindowSizeInPixels(window_, &width, &height);
  }
  return width > 0 && height > 0;
}

void SdlRuntime::RefreshGeometry() {
  // On another output at another scale, what was plotted keeps its place
  // and size on the screen.
  if (presenter_ != nullptr && presenter_->Scale() != canvas_.mapping().scale()) {
    canvas_.Rescale(presenter_->Scale());
    plot_log_.Clear();
    SetRingShape();
  }
  int w = 0, h = 0;
  // A minimised window may report nothing useful: keep the last real size.
  if (ClientPixels(w, h)) {
    client_w_ = w;
    client_h_ = h;
  }
  const double tpp = canvas_.mapping().twips_per_pixel();
  double frame_w = settings_.frame_width_twips;
  double frame_h = settings_.frame_height_twips;
  int top = 0, left = 0, bottom = 0, right = 0;
  if (SDL_GetWindowBordersSize(window_, &top, &left, &bottom, &right) == 0 &&
      (top | left | bottom | right) != 0) {
    frame_w = (left + right) * tpp;
    frame_h = (top + bottom) * tpp;
  }
  outer_width_ = static_cast<Single>(client_w_ * tpp + frame_w);
  outer_height_ = static_cast<Single>(client_h_ * tpp + frame_h);
  if (client_w_ != canvas_.width() || client_h_ != canvas_.height()) {
    canvas_.SetVisibleSize(client_w_, client_h_);
    DropTarget();
  }
}

void SdlRuntime::DropTarget() {
  surface_ = nullptr;
  for (auto& t : targets_)
    t.full = true;
  if (texture_ != nullptr) {
    SDL_DestroyTexture(texture_);
    texture_ = nullptr;
  }
}

void SdlRuntime::AttachSurface() {
  surface_ = SDL_GetWindowSurface(window_);
  if (surface_ == nullptr) return;  // tried again at the next frame
  if (shadow_ != nullptr) {
    SDL_FreeSurface(shadow_);
    shadow_ = nullptr;
  }
  canvas_.SetVisibleSize(surface_->w, surface_->h);
  SDL_Surface* target = surface_;
  if (!IsPlain32(surface_)) {
    // Draw into a 32-bit copy and convert it at each frame.
    shadow_ =
        SDL_CreateRGBSurfaceWithFormat(0, surface_->w, surface_->h, 32, SDL_PIXELFORMAT_RGB888);
    if (shadow_ == nullptr) {
      surface_ = nullptr;
      return;
    }
    target = shadow_;
  }
  canvas_.SetLayout(LayoutOf(*target->format));
  canvas_.SetMirror(static_cast<std::uint32_t*>(target->pixels), target->pitch / 4);
  full_repaint_ = true;
}

void SdlRuntime::Reseed() {
  // Wall-clock nanoseconds pick the sequence, so runs started even a
  // millisecond apart differ; the monotonic clock picks the stream.
  const auto wall = std::chrono::system_clock::now().time_since_epoch();
  const auto mono = std::chrono::steady_clock::now().time_since_epoch();
  rng_.Seed(static_cast<std::uint64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(wall).count()),
            static_cast<std::uint64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(mono).count()));
}

void SdlRuntime::CreateBall(Single left, Single top, Single width) {
  ball_left_ = left;
  ball_top_ = top;
  ball_width_ = width;
  SetRingShape();
}

void SdlRuntime::SetRingShape() {
  const TwipMapping& m = canvas_.mapping();
  overlay_.SetShape(m.PixelLength(ball_width_), m.LineThickness());
  full_repaint_ = true;
  for (auto& t : targets_) {
    t.overlay = overlay_;
    t.full = true;
  }
}

Nanos SdlRuntime::Now() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

Nanos SdlRuntime::FramePeriod() const {
  SDL_DisplayMode mode;
  int hz = 0;
  const int display = SDL_GetWindowDisplayIndex(window_);
  if (display >= 0 && SDL_GetCurrentDisplayMode(display, &mode) == 0) hz = mode.refresh_rate;
  // Xvfb and some drivers report no rate.
  if (hz <= 0) hz = 60;
  return 1'000'000'000 / hz;
}

void SdlRuntime::Show() {
  // Until it is mapped the window counts as hidden, and the ticks run as they
  // do while it is.
  visible_ = platform::ShowWithoutWaiting(window_);
  RefreshGeometry();
  platform::StartupDone();
}

void SdlRuntime::ComposeFrame(std::uint32_t* pixels, int pitch) {
  if (full_repaint_) {
    canvas_.CopyVisibleTo(pixels, pitch);
    overlay_.Forget();
    full_repaint_ = false;
  }
  const TwipMapping& m = canvas_.mapping();
  overlay_.Draw(canvas_, pixels, pitch, m.PixelOf(ball_left_), m.PixelOf(ball_top_),
                canvas_.ToPixel(0xffffffu));
}

void SdlRuntime::Present() {
  if (options_.present == PresentPath::kRenderer) {
    PresentThroughRenderer();
    return;
  }
  if (presenter_ != nullptr) {
    PresentThroughPresenter();
    return;
  }
  if (surface_ == nullptr) AttachSurface();
  if (surface_ == nullptr) return;
  SDL_Surface* target = shadow_ != nullptr ? shadow_ : surface_;
  ComposeFrame(static_cast<std::uint32_t*>(target->pixels), target->pitch / 4);
  if (shadow_ != nullptr && SDL_BlitSurface(shadow_, nullptr, surface_, nullptr) != 0) {
    surface_ = nullptr;
    return;
  }
  // A failed update means the surface went stale (a resize in flight); the
  // next frame fetches a new one.
  if (SDL_UpdateWindowSurface(window_) != 0) surface_ = nullptr;
}

void SdlRuntime::PresentThroughPresenter() {
  // A new scale (the window moved to another output) shows from this frame.
  if (presenter_->Scale() != canvas_.mapping().scale()) RefreshGeometry();
  const auto buffer = presenter_->Acquire();
  if (!buffer) return;  // the plots wait in the log
  int w = 0, h = 0;
  if (!ClientPixels(w, h) || w != canvas_.width() || h != canvas_.height()) RefreshGeometry();
  // What was plotted since the last frame is missing from every buffer.
  for (auto& t : targets_) {
    if (t.full) continue;
    if (plot_log_.overflowed || t.missing.size() + plot_log_.points.size() > kPlotLogCap) {
      t.full = true;
      t.missing.clear();
    } else {
      t.missing.insert(t.missing.end(), plot_log_.points.begin(), plot_log_.points.end());
    }
  }
  PresenterTarget& t = targets_[static_cast<std::size_t>(buffer->index)];
  std::uint32_t* pixels = buffer->pixels;
  const auto pitch = static_cast<std::size_t>(buffer->pitch);
  const TwipMapping& m = canvas_.mapping();
  const int diameter = m.PixelLength(ball_width_);
  const platform::Presenter::Rect ring{static_cast<int>(m.PixelOf(ball_left_)),
                                       static_cast<int>(m.PixelOf(ball_top_)), diameter, diameter};
  // Damage is what differs from the frame shown before: the new points and
  // the ring where it was and where it is.
  damage_.clear();
  if (t.full || buffer->fresh) {
    canvas_.CopyVisibleTo(pixels, buffer->pitch);
    t.overlay.Forget();
    t.full = false;
  } else {
    for (const auto& [x, y] : t.missing) {
      if (x < canvas_.width() && y < canvas_.height())
        pixels[static_cast<std::size_t>(y) * pitch + static_cast<std::size_t>(x)] =
            canvas_.At(x, y);
    }
    AddNewPointDamage();
    damage_.push_back(last_ring_);
    damage_.push_back(ring);
    if (damage_.size() > kMaxDamageRects) damage_.clear();  // all of it
  }
  t.missing.clear();
  plot_log_.Clear();
  t.overlay.Draw(canvas_, pixels, buffer->pitch, m.PixelOf(ball_left_), m.PixelOf(ball_top_),
                 canvas_.ToPixel(0xffffffu));
  last_ring_ = ring;
  presenter_->Submit(damage_);
}

void SdlRuntime::AddNewPointDamage() {
  // One rectangle per tile with new points, not per point: each is a request
  // to the compositor, and a flood of them can fill the socket, which
  // libwayland 1.21 treats as a fatal error.
  const int tiles_x = (canvas_.width() + kDamageTile - 1) / kDamageTile;
  const int tiles_y = (canvas_.height() + kDamageTile - 1) / kDamageTile;
  damaged_tiles_.assign(static_cast<std::size_t>(tiles_x) * static_cast<std::size_t>(tiles_y),
                        false);
  for (const auto& [x, y] : plot_log_.points) {
    if (x >= canvas_.width() || y >= canvas_.height()) continue;
    const int tx = x / kDamageTile;
    const int ty = y / kDamageTile;
    const auto tile = static_cast<std::size_t>(ty) * static_cast<std::size_t>(tiles_x) +
                      static_cast<std::size_t>(tx);
    if (damaged_tiles_[tile]) continue;
    damaged_tiles_[tile] = true;
    damage_.push_back({tx * kDamageTile, ty * kDamageTile, kDamageTile, kDamageTile});
  }
}

void SdlRuntime::AttachRendererTarget() {
  int w = 0, h = 0;
  if (SDL_GetRendererOutputSize(renderer_, &w, &h) != 0 || w <= 0 || h <= 0) return;
  texture_ =
      SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_RGB888, SDL_TEXTUREACCESS_STREAMING, w, h);
  if (texture_ == nullptr) return;
  canvas_.SetVisibleSize(w, h);
  frame_.assign(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0);
  canvas_.SetLayout(PixelLayout{16, 8, 0, 0});
  canvas_.SetMirror(frame_.data(), w);
  full_repaint_ = true;
}

void SdlRuntime::PresentThroughRenderer() {
  if (texture_ == nullptr) AttachRendererTarget();
  if (texture_ == nullptr) return;
  const int w = canvas_.width();
  ComposeFrame(frame_.data(), w);
  // The whole frame goes up each time: the points of one frame are spread
  // over all of it.
  if (SDL_UpdateTexture(texture_, nullptr, frame_.data(), w * 4) != 0 ||
      SDL_RenderCopy(renderer_, texture_, nullptr, nullptr) != 0) {
    DropTarget();
    return;
  }
  SDL_RenderPresent(renderer_);
}

std::string SdlRuntime::PresentDescription() const {
  if (presenter_ != nullptr) return "platform buffers";
  if (renderer_ == nullptr) return "window surface";
  SDL_RendererInfo info;
  if (SDL_GetRendererInfo(renderer_, &info) != 0 || info.name == nullptr) return "renderer";
  return std::string("renderer ") + info.name;
}

void SdlRuntime::WaitUntil(Nanos deadline) {
  SDL_Event event;
  const Nanos left = deadline - Now();
  const int ms = left <= 0 ? 0 : static_cast<int>((left + 999'999) / 1'000'000);
  if (platform::WaitEvent(event, ms)) {
    HandleEvent(event);
    PollEvents();
  }
}

void SdlRuntime::PollEvents() {
  SDL_Event event;
  while (SDL_PollEvent(&event) != 0)
    HandleEvent(event);
}

void SdlRuntime::HandleEvent(const SDL_Event& event) {
  if (event.type == SDL_QUIT) {
    close_requested_ = true;
    return;
  }
  if (event.type == SDL_SYSWMEVENT) {
    if (const auto seen = platform::SeenFrom(event)) covered_ = !*seen;
    if (const auto scale = platform::ScaleFrom(event)) Rescale(*scale);
    return;
  }
  if (event.type != SDL_WINDOWEVENT) return;
  switch (event.window.event) {
    case SDL_WINDOWEVENT_CLOSE:
      close_requested_ = true;
      break;
    case SDL_WINDOWEVENT_HIDDEN:
    case SDL_WINDOWEVENT_MINIMIZED:
      visible_ = false;
      break;
    case SDL_WINDOWEVENT_SHOWN:
    case SDL_WINDOWEVENT_RESTORED:
    case SDL_WINDOWEVENT_MAXIMIZED:
      visible_ = true;
      RefreshGeometry();
      break;
    case SDL_WINDOWEVENT_SIZE_CHANGED:
    case SDL_WINDOWEVENT_RESIZED:
    case SDL_WINDOWEVENT_MOVED:
      RefreshGeometry();
      break;
    default:
      break;
  }
}

void SdlRuntime::ShowError(const std::string& message) {
  // Blocks until the user has read it.
  platform::ShowRunTimeError(window_, settings_.title, message);
}

void SdlRuntime::SetModalStep(std::function<void()> step) {
  platform::SetModalStep(std::move(step));
}

}  // namespace glimmer
