#include "runtime/sdl_runtime.h"

#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/Xlib.h>
#include <X11/Xresource.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace glimmer {
namespace {

bool EnvSet(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr && v[0] != '\0';
}

PixelLayout LayoutOf(const SDL_PixelFormat& f) {
  return PixelLayout{f.Rshift, f.Gshift, f.Bshift, f.Amask};
}

// The display the X connection was opened on, for the one line printed when
// it is lost.
char g_x_display[256];

// Xlib's default handler prints a message of its own that does not name the
// program, and calls exit(), whose clean-up would run against a connection
// that is gone. Nothing can be shown or saved any more: say so in one line
// and leave at once.
int OnDisplayLost(Display*) {
  std::fprintf(stderr, "glimmerfeld: lost the connection to the display (DISPLAY=%s)\n",
               g_x_display);
  std::fflush(stderr);
  _exit(1);
}

// Set once the window is being torn down.
bool g_closing = false;

// Xlib's default handler for a refused request prints five lines and exits.
// While closing, SDL 2.26 can still have a wake-up message for its event wait
// in flight to the window from a second connection, which the server refuses
// once the window is gone, and the error surfaces as SDL closes that
// connection: harmless then, as the program is done. At any other time the
// error stays fatal, as it was, but in one line.
int OnRequestRefused(Display* display, XErrorEvent* error) {
  if (g_closing) return 0;
  char text[160];
  XGetErrorText(display, error->error_code, text, sizeof text);
  std::fprintf(stderr, "glimmerfeld: the display refused a request (%s; request code %d)\n", text,
               error->request_code);
  std::fflush(stderr);
  _exit(1);
}

// Installed before SDL starts: SDL's own X error handler passes errors on to
// the one it found, and puts that one back when it shuts down.
void InstallDisplayErrorHandlers() {
  const char* display = std::getenv("DISPLAY");
  std::snprintf(g_x_display, sizeof g_x_display, "%s", display != nullptr ? display : "");
  XSetIOErrorHandler(OnDisplayLost);
  XSetErrorHandler(OnRequestRefused);
}

// Why SDL must not start on the Wayland compositor it would connect to, or
// empty when it may. SDL 2.26 dereferences a missing input seat inside
// SDL_Init and crashes (a headless compositor has none). Later releases are
// reported fixed upstream; the check costs one round trip and keeps every
// version safe. A compositor that cannot be reached is ruled out here too, so
// that the one line saying so is ours rather than libwayland's and SDL's.
std::string WaylandUnusable() {
  // A socket handed down by a launcher can be taken only once: leave it to SDL.
  if (EnvSet("WAYLAND_SOCKET")) return {};
  const char* env = std::getenv("WAYLAND_DISPLAY");
  const std::string name = env != nullptr && env[0] != '\0' ? env : "wayland-0";
  const char* runtime_dir = std::getenv("XDG_RUNTIME_DIR");
  if (name[0] != '/' && (runtime_dir == nullptr || runtime_dir[0] != '/')) {
    return "cannot connect to the display (WAYLAND_DISPLAY=" + name +
           "): XDG_RUNTIME_DIR is not set";
  }
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) {
    return "cannot connect to the display (WAYLAND_DISPLAY=" + name + "): " + std::strerror(errno);
  }
  bool seat = false;
  static const wl_registry_listener listener = {
      [](void* data, wl_registry*, std::uint32_t, const char* interface, std::uint32_t) {
        if (std::strcmp(interface, "wl_seat") == 0) *static_cast<bool*>(data) = true;
      },
      [](void*, wl_registry*, std::uint32_t) {}};
  wl_registry* registry = wl_display_get_registry(display);
  bool answered = false;
  if (registry != nullptr) {
    wl_registry_add_listener(registry, &listener, &seat);
    answered = wl_display_roundtrip(display) >= 0;
    wl_registry_destroy(registry);
  }
  wl_display_disconnect(display);
  if (!answered) return "the Wayland compositor (WAYLAND_DISPLAY=" + name + ") does not answer";
  if (!seat) {
    return "the Wayland compositor (WAYLAND_DISPLAY=" + name +
           ") offers no input seat, which SDL cannot start without";
  }
  return {};
}

// Splits a comma-separated driver list such as SDL_VIDEODRIVER's.
std::vector<std::string> SplitDrivers(const std::string& list) {
  std::vector<std::string> drivers;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = std::min(list.find(',', start), list.size());
    if (end > start) drivers.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return drivers;
}

std::string JoinDrivers(const std::vector<std::string>& drivers) {
  std::string list;
  for (const auto& d : drivers)
    list += (list.empty() ? "" : ",") + d;
  return list;
}

bool IsPlain32(const SDL_Surface* s) {
  const SDL_PixelFormat* f = s->format;
  return f->BytesPerPixel == 4 && f->Rloss == 0 && f->Gloss == 0 && f->Bloss == 0 &&
         f->Rshift % 8 == 0 && f->Gshift % 8 == 0 && f->Bshift % 8 == 0 && !SDL_MUSTLOCK(s) &&
         s->pitch % 4 == 0;
}

}  // namespace

SdlRuntime::SdlRuntime(SdlRuntimeOptions options) : options_(options) {}

SdlRuntime::~SdlRuntime() {
  g_closing = true;
  if (texture_ != nullptr) SDL_DestroyTexture(texture_);
  if (renderer_ != nullptr) SDL_DestroyRenderer(renderer_);
  if (shadow_ != nullptr) SDL_FreeSurface(shadow_);
  if (window_ != nullptr) SDL_DestroyWindow(window_);
  if (sdl_started_) SDL_Quit();
}

void SdlRuntime::Open(const WindowSettings& settings) {
  settings_ = settings;
  // Without a display SDL would quietly fall back to an invisible offscreen
  // window and the program would run unseen.
  if (!EnvSet("DISPLAY") && !EnvSet("WAYLAND_DISPLAY")) {
    throw StartupError(
        "no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is set)");
  }
  // Only the drivers that can show a window, X11 first as in SDL's own order;
  // SDL_VIDEODRIVER still overrides this.
  const bool x11 = EnvSet("DISPLAY");
  const bool wayland = EnvSet("WAYLAND_DISPLAY");
  const bool user_choice = EnvSet("SDL_VIDEODRIVER");
  std::vector<std::string> drivers =
      SplitDrivers(user_choice ? std::getenv("SDL_VIDEODRIVER")
                               : (x11 && wayland ? "x11,wayland" : (x11 ? "x11" : "wayland")));
  // Keep SDL off a compositor it would crash on, even as a fallback after a
  // failed X11 start.
  const auto wl = std::find_if(drivers.begin(), drivers.end(), [](const std::string& d) {
    return SDL_strcasecmp(d.c_str(), "wayland") == 0;  // as SDL matches driver names
  });
  if (wl != drivers.end()) {
    const std::string why = WaylandUnusable();
    if (!why.empty()) {
      drivers.erase(wl);
      if (drivers.empty()) {
        throw StartupError(why + (user_choice ? "; SDL_VIDEODRIVER allows no other driver"
                                              : (x11 ? "" : "; set DISPLAY to use X11")));
      }
    }
  }
  // The user's own choice is overridden only to take the crashing driver out.
  SDL_SetHintWithPriority(SDL_HINT_VIDEODRIVER, JoinDrivers(drivers).c_str(),
                          user_choice ? SDL_HINT_OVERRIDE : SDL_HINT_DEFAULT);
  if (x11) InstallDisplayErrorHandlers();
  // A write to a display server that has just died must come back as an
  // error for the handlers above to report, not end the program silently
  // through SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  if (SDL_Init(SDL_INIT_VIDEO) != 0) {
    std::string where = x11 ? std::string(" DISPLAY=") + std::getenv("DISPLAY") : "";
    if (wayland) where += std::string(" WAYLAND_DISPLAY=") + std::getenv("WAYLAND_DISPLAY");
    throw StartupError("cannot connect to the display (" + where.substr(1) +
                       "): " + SDL_GetError());
  }
  sdl_started_ = true;
  const char* driver = SDL_GetCurrentVideoDriver();
  const std::string name = driver != nullptr ? driver : "";
  if (name == "offscreen" || name == "dummy" || name == "evdev" || name.empty()) {
    throw StartupError("no visible display available (SDL video driver '" + name + "')");
  }
  is_x11_ = name == "x11";
  // On X11 the window surface then goes through shared memory instead of a
  // software OpenGL renderer that costs several times as much per frame.
  if (is_x11_) SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");

  const TwipMapping at96(1.0);
  window_ = SDL_CreateWindow(
      settings_.title.c_str(), SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
      at96.PixelLength(settings_.client_width_twips),
      at96.PixelLength(settings_.client_height_twips), SDL_WINDOW_HIDDEN | SDL_WINDOW_RESIZABLE);
  if (window_ == nullptr) {
    throw StartupError(std::string("cannot create the window: ") + SDL_GetError());
  }
  if (options_.present == PresentPath::kRenderer) {
    // Made while the window is hidden: a GL renderer may recreate the window.
    renderer_ = SDL_CreateRenderer(window_, -1, 0);
    if (renderer_ == nullptr) {
      throw StartupError(std::string("cannot create a renderer: ") + SDL_GetError());
    }
  }
  // The client area is fixed in twips; at a higher display scale it takes
  // more device pixels.
  canvas_.SetScale(ReadDisplayScale());
  const TwipMapping& m = canvas_.mapping();
  SDL_SetWindowSize(window_, m.PixelLength(settings_.client_width_twips),
                    m.PixelLength(settings_.client_height_twips));
  RefreshGeometry();
}

double SdlRuntime::ReadDisplayScale() const {
  if (is_x11_) {
    // X11 has no per-window scale; desktops publish theirs as Xft.dpi.
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWindowWMInfo(window_, &info) != SDL_TRUE || info.subsystem != SDL_SYSWM_X11) {
      return 1.0;
    }
    const char* resources = XResourceManagerString(info.info.x11.display);
    if (resources == nullptr) return 1.0;
    XrmInitialize();
    XrmDatabase db = XrmGetStringDatabase(resources);
    double scale = 1.0;
    char* type = nullptr;
    XrmValue value;
    if (db != nullptr && XrmGetResource(db, "Xft.dpi", "Xft.Dpi", &type, &value) &&
        value.addr != nullptr) {
      const double dpi = std::strtod(value.addr, nullptr);
      if (dpi >= 24.0 && dpi <= 960.0) scale = dpi / 96.0;
    }
    if (db != nullptr) XrmDestroyDatabase(db);
    return scale;
  }
  int w = 0, h = 0, pw = 0, ph = 0;
  SDL_GetWindowSize(window_, &w, &h);
  SDL_GetWindowSizeInPixels(window_, &pw, &ph);
  return w > 0 && pw > 0 ? static_cast<double>(pw) / w : 1.0;
}

void SdlRuntime::RefreshGeometry() {
  int w = 0, h = 0;
  SDL_GetWindowSizeInPixels(window_, &w, &h);
  // A minimised window may report nothing useful: keep the last real size.
  if (w > 0 && h > 0) {
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
  const TwipMapping& m = canvas_.mapping();
  overlay_.SetShape(m.PixelLength(width), std::max(1, static_cast<int>(std::lround(m.scale()))));
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
  SDL_ShowWindow(window_);
  RefreshGeometry();
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
  if (renderer_ == nullptr) return "window surface";
  SDL_RendererInfo info;
  if (SDL_GetRendererInfo(renderer_, &info) != 0 || info.name == nullptr) return "renderer";
  return std::string("renderer ") + info.name;
}

void SdlRuntime::WaitUntil(Nanos deadline) {
  SDL_Event event;
  const Nanos left = deadline - Now();
  const int ms = left <= 0 ? 0 : static_cast<int>((left + 999'999) / 1'000'000);
  if (ms > 0 ? SDL_WaitEventTimeout(&event, ms) != 0 : SDL_PollEvent(&event) != 0) {
    HandleEvent(event);
    while (SDL_PollEvent(&event) != 0)
      HandleEvent(event);
  }
}

void SdlRuntime::HandleEvent(const SDL_Event& event) {
  if (event.type == SDL_QUIT) {
    close_requested_ = true;
    return;
  }
  if (event.type != SDL_WINDOWEVENT) return;
  switch (event.window.event) {
    case SDL_WINDOWEVENT_CLOSE:
      close_requested_ = true;
      break;
    case SDL_WINDOWEVENT_SIZE_CHANGED:
    case SDL_WINDOWEVENT_RESIZED:
    case SDL_WINDOWEVENT_SHOWN:
    case SDL_WINDOWEVENT_MOVED:
    case SDL_WINDOWEVENT_RESTORED:
    case SDL_WINDOWEVENT_MAXIMIZED:
      RefreshGeometry();
      break;
    default:
      break;
  }
}

void SdlRuntime::ShowError(const std::string& message) {
  // Blocks until the user has read it.
  SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, settings_.title.c_str(), message.c_str(), window_);
}

}  // namespace glimmer
