#include "runtime/desktop/sdl_runtime.h"

#include <SDL3/SDL.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "runtime/desktop/backend.h"

namespace glimmer {
namespace {

bool IsPlain32(const SDL_Surface* s) {
  const SDL_PixelFormatDetails* f = SDL_GetPixelFormatDetails(s->format);
  return f != nullptr && f->bytes_per_pixel == 4 && f->Rbits == 8 && f->Gbits == 8 &&
         f->Bbits == 8 && f->Rshift % 8 == 0 && f->Gshift % 8 == 0 && f->Bshift % 8 == 0 &&
         !SDL_MUSTLOCK(s) && s->pitch % 4 == 0;
}

// Frames through SDL's window surface: shared memory on X11, a DIB on
// Windows. One buffer, which the canvas writes every plot into as well, so a
// frame costs only the ring; a surface that is not 32-bit with 8 bits a
// channel gets a 32-bit stand-in, converted at each frame.
class SdlSurfaceSink final : public FrameSink {
 public:
  explicit SdlSurfaceSink(SDL_Window* window) : window_(window) {}
  ~SdlSurfaceSink() override {
    if (shadow_ != nullptr) SDL_DestroySurface(shadow_);
  }
  SdlSurfaceSink(const SdlSurfaceSink&) = delete;
  SdlSurfaceSink& operator=(const SdlSurfaceSink&) = delete;

  // A surface SDL cannot convert into would leave a black window running
  // for ever: better to say so at once. Throws StartupError.
  void Check() {
    Attach();
    if (surface_ == nullptr) {
      throw StartupError(std::string("cannot draw into the window: ") + SDL_GetError());
    }
    if (shadow_ != nullptr && !SDL_BlitSurface(shadow_, nullptr, surface_, nullptr)) {
      throw StartupError(std::string("cannot draw in the window's pixel format (") +
                         SDL_GetPixelFormatName(surface_->format) + "): " + SDL_GetError());
    }
  }

  int Buffers() const override { return 1; }

  std::optional<Buffer> Acquire() override {
    bool fresh = false;
    if (surface_ != nullptr) {
      // A resize replaces the surface; SDL frees the old one when asked for the new.
      int w = 0, h = 0;
      SDL_GetWindowSizeInPixels(window_, &w, &h);
      if (w != surface_->w || h != surface_->h) surface_ = nullptr;
    }
    if (surface_ == nullptr) {
      Attach();
      fresh = true;
    }
    if (surface_ == nullptr) return std::nullopt;  // tried again at the next frame
    const SDL_Surface* target = shadow_ != nullptr ? shadow_ : surface_;
    Buffer b;
    b.pixels = static_cast<std::uint32_t*>(target->pixels);
    b.width = target->w;
    b.height = target->h;
    b.pitch = target->pitch / 4;
    b.layout = layout_;
    b.fresh = fresh;
    return b;
  }

  void Submit(const std::vector<Rect>&) override {
    if (surface_ == nullptr) return;
    if (shadow_ != nullptr && !SDL_BlitSurface(shadow_, nullptr, surface_, nullptr)) {
      surface_ = nullptr;
      return;
    }
    // A failed update means the surface went stale (a resize in flight); the
    // next frame fetches a new one.
    if (!SDL_UpdateWindowSurface(window_)) surface_ = nullptr;
  }

  std::string Describe() const override { return "window surface"; }

 private:
  void Attach() {
    surface_ = SDL_GetWindowSurface(window_);
    if (shadow_ != nullptr) {
      SDL_DestroySurface(shadow_);
      shadow_ = nullptr;
    }
    if (surface_ != nullptr && !IsPlain32(surface_)) {
      shadow_ = SDL_CreateSurface(surface_->w, surface_->h, SDL_PIXELFORMAT_XRGB8888);
      if (shadow_ == nullptr) surface_ = nullptr;
    }
    // Looked up once per surface, not per frame.
    const SDL_Surface* target = shadow_ != nullptr ? shadow_ : surface_;
    const SDL_PixelFormatDetails* f =
        target != nullptr ? SDL_GetPixelFormatDetails(target->format) : nullptr;
    if (f == nullptr) {
      surface_ = nullptr;
      return;
    }
    layout_ = PixelLayout{f->Rshift, f->Gshift, f->Bshift, f->Amask};
  }

  SDL_Window* window_;
  SDL_Surface* surface_ = nullptr;  // owned by SDL, valid until the next resize
  SDL_Surface* shadow_ = nullptr;
  PixelLayout layout_{};
};

}  // namespace

void ShowStartupError(const std::string& message) {
  backend::ShowStartupError(message);
}

void ShowSettingsDialog(std::uint64_t owner, const std::string& title, const std::string& message) {
  backend::ShowSettingsDialog(owner, title, message);
}

void SdlMetrics::Observe(const backend::WindowNews& news) {
  if (news.seen) covered_ = !*news.seen;
  if (news.scale) scale_ = *news.scale;
}

void SdlMetrics::ClientSize(int& width, int& height) {
  width = 0;
  height = 0;
  SDL_GetWindowSizeInPixels(window_, &width, &height);
}

SdlRuntime::SdlRuntime(SdlRuntimeOptions options) : options_(std::move(options)) {}

SdlRuntime::~SdlRuntime() {
  backend::BeginTeardown();
  // Their surfaces and renderers hang off the window.
  presenter_.reset();
  own_sink_.reset();
  if (window_ != nullptr) SDL_DestroyWindow(window_);
  if (sdl_started_) SDL_Quit();
}

void SdlRuntime::Open(const WindowSettings& settings) {
  settings_ = settings;
  SetAssumedFrame(settings_.frame_width_twips, settings_.frame_height_twips);
  backend::PrepareVideo(settings_);
  if (!SDL_Init(SDL_INIT_VIDEO)) {
    throw StartupError("cannot connect to the display" + backend::DisplayNamed() + ": " +
                       SDL_GetError());
  }
  sdl_started_ = true;
  backend::VideoStarted();

  const TwipMapping at96(1.0);
  // A platform's presenter draws without SDL's window surface, which the
  // window is then made not to have.
  const bool hosted = settings_.host != WindowSettings::Host::kOwnWindow;
  const bool platform_way = !options_.make_sink && !hosted;
  if (hosted) {
    // A screensaver host's window, as it is: its size, place and look are
    // the host's.
    const SDL_PropertiesID props = SDL_CreateProperties();
    try {
      backend::SetHostWindow(props, settings_);
    } catch (...) {
      SDL_DestroyProperties(props);
      throw;
    }
    window_ = SDL_CreateWindowWithProperties(props);
    SDL_DestroyProperties(props);
  } else {
    // No graphics API is asked for, so SDL loads neither OpenGL nor Vulkan.
    window_ = SDL_CreateWindow(
        settings_.title.c_str(), at96.PixelLength(settings_.client_width_twips),
        at96.PixelLength(settings_.client_height_twips), SDL_WINDOW_HIDDEN | SDL_WINDOW_RESIZABLE);
  }
  if (window_ == nullptr) {
    throw StartupError(std::string(hosted ? "cannot draw into the screensaver's window: "
                                          : "cannot create the window: ") +
                       SDL_GetError());
  }
  backend::PrepareWindow(window_);
  if (!hosted) SetIcon();
  SdlSurfaceSink* surface = nullptr;
  if (options_.make_sink) {
    // Made while the window is hidden: a GL renderer may recreate the window.
    own_sink_ = options_.make_sink(window_);
    if (own_sink_ == nullptr) {
      throw StartupError(std::string("cannot present to the window: ") + SDL_GetError());
    }
  } else {
    if (platform_way) presenter_ = backend::MakePresenter(window_);
    if (presenter_ == nullptr) {
      auto sink = std::make_unique<SdlSurfaceSink>(window_);
      surface = sink.get();
      own_sink_ = std::move(sink);
    }
  }
  sink_ = presenter_ != nullptr ? static_cast<FrameSink*>(presenter_.get()) : own_sink_.get();
  if (presenter_ != nullptr) metrics_ = presenter_.get();
  sdl_metrics_.Attach(window_, backend::DisplayScale(window_));
  // The client area is fixed in twips; at a higher display scale it takes
  // more device pixels. Some window systems size windows in other units.
  SetScale(metrics_->Scale());
  if (!hosted) {
    const int w = mapping().PixelLength(settings_.client_width_twips);
    const int h = mapping().PixelLength(settings_.client_height_twips);
    SDL_SetWindowSize(window_, metrics_->ToWindowUnits(w), metrics_->ToWindowUnits(h));
    // SDL3 applies sizes as the window system confirms them: placing the
    // window needs the new one.
    SDL_SyncWindow(window_);
    // A Wayland compositor places windows itself.
    if (presenter_ == nullptr) Place();
  }
  SyncGeometry();
  if (surface != nullptr) surface->Check();
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
  SDL_Surface* icon = SDL_CreateSurfaceFrom(n, n, SDL_PIXELFORMAT_ARGB8888, argb.data(), n * 4);
  // Without an icon the window still works: the desktop shows its generic one.
  if (icon == nullptr) return;
  SDL_SetWindowIcon(window_, icon);
  SDL_DestroySurface(icon);
}

void SdlRuntime::Place() {
  SDL_Rect usable;
  const SDL_DisplayID display = SDL_GetDisplayForWindow(window_);
  if (display == 0 || !SDL_GetDisplayUsableBounds(display, &usable)) return;
  int w = 0, h = 0;
  SDL_GetWindowSize(window_, &w, &h);
  // The frame is not known before the window is shown: the assumed one, its
  // sides and bottom alike and the rest on top.
  const TwipMapping& m = mapping();
  const int frame_w = m.PixelLength(settings_.frame_width_twips);
  const int frame_h = m.PixelLength(settings_.frame_height_twips);
  const int side = frame_w / 2;
  const int top = std::max(0, frame_h - side);
  const int x = usable.x + std::max(0, (usable.w - w - frame_w) / 2) + side;
  const int y = usable.y + std::max(0, (usable.h - h - frame_h) / 2) + top;
  SDL_SetWindowPosition(window_, x, y);
}

void SdlRuntime::SyncGeometry() {
  const double old_scale = mapping().scale();
  SetScale(metrics_->Scale());
  const double ratio = mapping().scale() / old_scale;
  if (ratio != 1.0 && client_width() > 0 && client_height() > 0 &&
      settings_.host == WindowSettings::Host::kOwnWindow) {
    // The client area keeps its size in twips: more device pixels now.
    auto scaled = [&](int n) { return std::max(1, static_cast<int>(std::lround(n * ratio))); };
    SDL_SetWindowSize(window_, metrics_->ToWindowUnits(scaled(client_width())),
                      metrics_->ToWindowUnits(scaled(client_height())));
  }
  int w = 0, h = 0;
  metrics_->ClientSize(w, h);
  // A minimised window may report nothing useful: keep the last real size.
  if (w <= 0 || h <= 0) {
    w = client_width();
    h = client_height();
  }
  std::optional<std::pair<int, int>> frame;
  int top = 0, left = 0, bottom = 0, right = 0;
  if (SDL_GetWindowBordersSize(window_, &top, &left, &bottom, &right) &&
      (top | left | bottom | right) != 0) {
    frame = std::make_pair(left + right, top + bottom);
  }
  SetClientSize(w, h, frame);
}

void SdlRuntime::Reseed() {
  // Wall-clock nanoseconds pick the sequence, so runs started even a
  // millisecond apart differ; the monotonic clock picks the stream.
  const auto wall = std::chrono::system_clock::now().time_since_epoch();
  const auto mono = std::chrono::steady_clock::now().time_since_epoch();
  Seed(static_cast<std::uint64_t>(
           std::chrono::duration_cast<std::chrono::nanoseconds>(wall).count()),
       static_cast<std::uint64_t>(
           std::chrono::duration_cast<std::chrono::nanoseconds>(mono).count()));
}

Nanos SdlRuntime::Now() const {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

Nanos SdlRuntime::FramePeriod() const {
  double hz = 0;
  const SDL_DisplayID display = SDL_GetDisplayForWindow(window_);
  const SDL_DisplayMode* mode = display != 0 ? SDL_GetCurrentDisplayMode(display) : nullptr;
  if (mode != nullptr) hz = mode->refresh_rate;
  // Xvfb and some drivers report no rate.
  if (!(hz >= 1.0)) hz = 60;
  return static_cast<Nanos>(std::llround(1e9 / hz));
}

void SdlRuntime::Show() {
  // Until it is mapped the window counts as hidden, and the ticks run as they
  // do while it is.
  visible_ = backend::ShowWithoutWaiting(window_);
  TakeNews();
  SyncGeometry();
  backend::StartupDone();
}

void SdlRuntime::Present() {
  // A new scale (the window moved to another output) or size shows from
  // this frame.
  int w = 0, h = 0;
  metrics_->ClientSize(w, h);
  if (metrics_->Scale() != mapping().scale() ||
      (w > 0 && h > 0 && (w != client_width() || h != client_height()))) {
    SyncGeometry();
  }
  RuntimeCore::Present(*sink_);
}

void SdlRuntime::WaitUntil(Nanos deadline) {
  SDL_Event event;
  const Nanos left = deadline - Now();
  const int ms = left <= 0 ? 0 : static_cast<int>((left + 999'999) / 1'000'000);
  if (backend::WaitEvent(event, ms)) {
    HandleEvent(event);
    PollEvents();
  } else {
    TakeNews();
  }
}

void SdlRuntime::PollEvents() {
  SDL_Event event;
  while (SDL_PollEvent(&event))
    HandleEvent(event);
  TakeNews();
}

void SdlRuntime::TakeNews() {
  const backend::WindowNews news = backend::TakeWindowNews();
  if (!news.seen && !news.scale) return;
  sdl_metrics_.Observe(news);
  if (metrics_->Scale() != mapping().scale()) SyncGeometry();
}

void SdlRuntime::HandleEvent(const SDL_Event& event) {
  switch (event.type) {
    case SDL_EVENT_QUIT:
      backend::QuitRequested();
      close_requested_ = true;
      break;
    case SDL_EVENT_WINDOW_CLOSE_REQUESTED:
      close_requested_ = true;
      break;
    case SDL_EVENT_WINDOW_HIDDEN:
    case SDL_EVENT_WINDOW_MINIMIZED:
      visible_ = false;
      break;
    case SDL_EVENT_WINDOW_SHOWN:
    case SDL_EVENT_WINDOW_RESTORED:
    case SDL_EVENT_WINDOW_MAXIMIZED:
      visible_ = true;
      SyncGeometry();
      break;
    case SDL_EVENT_WINDOW_DISPLAY_SCALE_CHANGED:
      sdl_metrics_.Observe({std::nullopt, backend::DisplayScale(window_)});
      SyncGeometry();
      break;
    case SDL_EVENT_WINDOW_PIXEL_SIZE_CHANGED:
    case SDL_EVENT_WINDOW_RESIZED:
    case SDL_EVENT_WINDOW_MOVED:
      SyncGeometry();
      break;
    default:
      break;
  }
}

void SdlRuntime::ShowError(const std::string& message) {
  // Blocks until the user has read it.
  backend::ShowRunTimeError(window_, settings_.title, message);
}

void SdlRuntime::SetModalStep(std::function<void()> step) {
  backend::SetModalStep(std::move(step));
}

}  // namespace glimmer
