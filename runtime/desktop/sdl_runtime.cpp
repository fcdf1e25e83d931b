#include "runtime/desktop/sdl_runtime.h"

#include <SDL3/SDL.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "runtime/desktop/surface_sink.h"

namespace glimmer {

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
  if (backend_ != nullptr) backend_->BeginTeardown();
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
  // SDL holds off the screensaver, the idle lock and display power saving
  // while a window is open, as a video player wants. An ambient animation
  // left running on an unattended desk must let the session go idle. The
  // override wins over SDL_VIDEO_ALLOW_SCREENSAVER=0 in the environment.
  SDL_SetHintWithPriority(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1", SDL_HINT_OVERRIDE);
  if (!SDL_Init(SDL_INIT_VIDEO)) {
    throw StartupError("cannot connect to the display" + backend::DisplayNamed() + ": " +
                       SDL_GetError());
  }
  sdl_started_ = true;
  backend_ = &backend::Started();

  const TwipMapping at96(1.0);
  const bool hosted = settings_.host != WindowSettings::Host::kOwnWindow;
  if (hosted) {
    // A screensaver's window, as the backend names it: a host's, with its
    // size, place and look, or one made for the screensaver.
    const SDL_PropertiesID props = SDL_CreateProperties();
    try {
      backend_->SetHostWindow(props, settings_);
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
  backend_->PrepareWindow(window_);
  // A window of another's (a host's, or Windows' screensaver's) is drawn in
  // through SDL's surface and left its look; SDL's own are the program's.
  const bool external = (SDL_GetWindowFlags(window_) & SDL_WINDOW_EXTERNAL) != 0;
  if (!external) SetIcon();
  SdlSurfaceSink* surface = nullptr;
  if (options_.make_sink) {
    // Made while the window is hidden: a GL renderer may recreate the window.
    own_sink_ = options_.make_sink(window_);
    if (own_sink_ == nullptr) {
      throw StartupError(std::string("cannot present to the window: ") + SDL_GetError());
    }
  } else {
    if (!external) presenter_ = backend_->MakePresenter(window_);
    if (presenter_ == nullptr) {
      auto sink = std::make_unique<SdlSurfaceSink>(window_);
      surface = sink.get();
      own_sink_ = std::move(sink);
    }
  }
  sink_ = presenter_ != nullptr ? static_cast<FrameSink*>(presenter_.get()) : own_sink_.get();
  if (presenter_ != nullptr && presenter_->Metrics() != nullptr) metrics_ = presenter_->Metrics();
  sdl_metrics_.Attach(window_, backend_->DisplayScale(window_));
  if (presenter_ != nullptr) presenter_->Dispatch();
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
    // A Wayland compositor, whose presenter tells the window's facts,
    // places windows itself.
    if (metrics_ == &sdl_metrics_) Place();
  }
  SyncGeometry();
  if (surface != nullptr) surface->Check();
}

bool SdlRuntime::IdleAllowed() const {
  return SDL_ScreenSaverEnabled();
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
  SetClientSize(w, h, backend_->WindowFrame(window_));
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
  visible_ = backend_->ShowWithoutWaiting(window_);
  TakeFrameNews();
  TakeNews();
  SyncGeometry();
  backend_->StartupDone();
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
  if (backend_->WaitEvent(event, ms)) {
    HandleEvent(event);
    PollEvents();
  } else {
    TakeNews();
  }
  TakeFrameNews();
}

void SdlRuntime::TakeFrameNews() {
  if (presenter_ != nullptr) presenter_->Dispatch();
  Reclaim(*sink_);
}

void SdlRuntime::PollEvents() {
  SDL_Event event;
  while (SDL_PollEvent(&event))
    HandleEvent(event);
  TakeNews();
}

void SdlRuntime::TakeNews() {
  const backend::WindowNews news = backend_->TakeWindowNews();
  if (!news.seen && !news.scale && !news.frame) return;
  sdl_metrics_.Observe(news);
  if (news.frame || metrics_->Scale() != mapping().scale()) SyncGeometry();
}

void SdlRuntime::HandleEvent(const SDL_Event& event) {
  switch (event.type) {
    case SDL_EVENT_QUIT:
      backend_->OnQuitEvent();
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
      sdl_metrics_.Observe({std::nullopt, backend_->DisplayScale(window_)});
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
  if (backend_->PrepareErrorBox())
    SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, settings_.title.c_str(), message.c_str(),
                             window_);
}

bool SdlRuntime::CloseRequested() const {
  return close_requested_ || (backend_ != nullptr && backend_->SignalledToEnd());
}

void SdlRuntime::SetModalStep(std::function<void()> step) {
  backend_->SetModalStep(std::move(step));
}

}  // namespace glimmer
