// BACKEND: X11.
// COVERS: one-line reports instead of Xlib's default handlers; a visual of
//   8 bits a channel where the default has other depths (10-bit desktops);
//   the display scale from Xft.dpi, followed as the desktop changes it; a
//   black window background; whether the window is fully covered; the
//   window manager's frame (_NET_FRAME_EXTENTS), zero included; mapping
//   without waiting for a window manager; a screensaver host's window; the
//   screensaver's own full-screen window.
// LIMITATIONS: X11 has no per-window scale: one Xft.dpi for every monitor.
//   Screens with no TrueColor visual of 15 bits or more (8-bit desktops) are
//   refused at start.
// DEPENDENCIES: libX11.
#include <SDL3/SDL.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/Xresource.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "runtime/core/window_settings.h"
#include "runtime/desktop/linux/linux_system.h"
#include "runtime/desktop/x11/x11_presenter.h"

namespace glimmer::backend::x11 {
namespace {

// What Xlib's error handlers go by.
struct ErrorContext {
  // The display the X connection was opened on, for the one line printed
  // when it is lost.
  char display_name[256] = {};
  // The window is being torn down.
  bool closing = false;
  // A screensaver host's window drawn into; 0 for a window of our own.
  XID host_window = 0;
};
// Global: Xlib's error handlers take no pointer of ours.
ErrorContext g_errors;

// Nothing can be shown or saved any more: say so in one line and leave at
// once, without exit()'s clean-up against a connection that is gone.
int OnDisplayLost(Display*) {
  std::fprintf(stderr, "glimmerfeld: lost the connection to the display (DISPLAY=%s)\n",
               g_errors.display_name);
  std::fflush(stderr);
  _exit(1);
}

// While closing, SDL can still have a wake-up message for its event wait in
// flight to the window from a second connection, which the server refuses
// once the window is gone: harmless then, as the program is done. At any
// other time a refused request stays fatal, in one line.
int OnRequestRefused(Display* display, XErrorEvent* error) {
  if (g_errors.closing) return 0;
  // The host destroys its window when it stops the hack, often before the
  // hack has taken the SIGTERM it sent: the hack's work is simply over.
  if (g_errors.host_window != 0 && error->resourceid == g_errors.host_window) _exit(0);
  // SDL gives the window the focus as it is shown; hidden again before the
  // server gets to that request, the window cannot take it. Nothing is lost:
  // it just is not focused.
  if (error->request_code == X_SetInputFocus && error->error_code == BadMatch) return 0;
  char text[160];
  XGetErrorText(display, error->error_code, text, sizeof text);
  std::fprintf(stderr, "glimmerfeld: the display refused a request (%s; request code %d)\n", text,
               error->request_code);
  std::fflush(stderr);
  _exit(1);
}

// The window's X display and id, where it is an X window.
struct X11Window {
  Display* display = nullptr;
  Window window = 0;
};

bool X11Of(SDL_Window* window, X11Window& x) {
  const SDL_PropertiesID props = SDL_GetWindowProperties(window);
  x.display = static_cast<Display*>(
      SDL_GetPointerProperty(props, SDL_PROP_WINDOW_X11_DISPLAY_POINTER, nullptr));
  x.window =
      static_cast<Window>(SDL_GetNumberProperty(props, SDL_PROP_WINDOW_X11_WINDOW_NUMBER, 0));
  return x.display != nullptr && x.window != 0;
}

// The window of ours being watched, from PrepareWindow until teardown.
struct WindowState {
  Window window = 0;
  bool hosted = false;  // a screensaver host's
  // What the event hook has seen since TakeNews last asked.
  WindowNews news;
  // The window manager's frame around it while the window carries one.
  std::optional<FrameSize> frame;
};

// SDL's connection to the display as this backend follows it, from the
// first window prepared until SDL quits.
struct Connection {
  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  // The event hook is handed this connection.
  ~Connection() { SDL_SetX11EventHook(nullptr, nullptr); }

  // The desktop's Xft.dpi over 96.
  double scale = 1.0;
  Atom frame_extents = None;
  std::unique_ptr<WindowState> window;
};
constexpr const char* kConnection = "glimmerfeld.x11";

WindowState* Watched() {
  Connection* connection = VideoState<Connection>(kConnection);
  return connection != nullptr ? connection->window.get() : nullptr;
}

}  // namespace

// Installed before SDL starts: SDL's own X error handler passes errors on to
// the one it found, and puts that one back when it shuts down.
void InstallErrorHandlers() {
  const char* display = std::getenv("DISPLAY");
  std::snprintf(g_errors.display_name, sizeof g_errors.display_name, "%s",
                display != nullptr ? display : "");
  XSetIOErrorHandler(OnDisplayLost);
  XSetErrorHandler(OnRequestRefused);
}

namespace {

// Whether SDL's window surface shows a visual's pixels as they are: SDL
// converts into 15-, 16- and 24-bit TrueColor, and into 32-bit with 8 bits a
// channel; a 30-bit window comes out grey or black, an 8-bit one loses the
// colours. SDL itself prefers DirectColor visuals of the same depths, whose
// colour maps it makes linear.
bool SurfaceCanShow(const XVisualInfo& v, bool direct_too = false) {
  if (v.c_class != TrueColor && !(direct_too && v.c_class == DirectColor)) return false;
  if (v.depth == 15 || v.depth == 16 || v.depth == 24) return true;
  return v.depth == 32 && std::popcount(v.red_mask) == 8 && std::popcount(v.green_mask) == 8 &&
         std::popcount(v.blue_mask) == 8;
}

}  // namespace

std::string ChooseVisual() {
  const char* user = std::getenv("SDL_VIDEO_X11_WINDOW_VISUALID");
  if (user != nullptr && user[0] != '\0') return {};  // the user's own choice stands
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return {};
  const int screen = DefaultScreen(display);
  XVisualInfo wanted{};
  wanted.screen = screen;
  wanted.visualid = XVisualIDFromVisual(DefaultVisual(display, screen));
  int count = 0;
  XVisualInfo* def = XGetVisualInfo(display, VisualIDMask | VisualScreenMask, &wanted, &count);
  const bool default_ok = def != nullptr && count > 0 && SurfaceCanShow(def[0]);
  if (def != nullptr) XFree(def);
  std::string why;
  if (!default_ok) {
    wanted.c_class = TrueColor;
    XVisualInfo* all = XGetVisualInfo(display, VisualClassMask | VisualScreenMask, &wanted, &count);
    const XVisualInfo* best = nullptr;
    for (int i = 0; i < count; ++i) {
      // 24 bits before 32: no alpha channel for a compositor to read.
      if (SurfaceCanShow(all[i]) && (best == nullptr || (all[i].depth == 24 && best->depth != 24)))
        best = &all[i];
    }
    if (best != nullptr) {
      const std::string id = std::to_string(best->visualid);
      SDL_SetHint(SDL_HINT_VIDEO_X11_WINDOW_VISUALID, id.c_str());
    } else {
      why = "the display's " + std::to_string(DefaultDepth(display, screen)) +
            "-bit colour cannot show the field; it needs TrueColor of 15 bits or more";
    }
    if (all != nullptr) XFree(all);
  }
  XCloseDisplay(display);
  return why;
}

namespace {

// The scale in a resource string such as the root window's RESOURCE_MANAGER.
double ScaleOf(const char* resources) {
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

// X11 has no per-window scale; desktops publish theirs as Xft.dpi.
double XftScale(SDL_Window*) {
  const Connection* connection = VideoState<Connection>(kConnection);
  return connection != nullptr ? connection->scale : 1.0;
}

// The frame a window manager names in _NET_FRAME_EXTENTS (left, right, top,
// bottom), zeros included; nullopt where the window has no such property,
// or one that names no frame.
std::optional<FrameSize> FrameExtents(Display* display, Window window, Atom extents) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, extents, 0, 4, False, XA_CARDINAL, &type, &format, &count,
                         &after, &data) != Success) {
    return std::nullopt;
  }
  std::optional<FrameSize> frame;
  if (type == XA_CARDINAL && format == 32 && count == 4 && data != nullptr) {
    // Format 32 comes as longs; a side wider than any screen is garbage.
    const auto* sides = reinterpret_cast<const long*>(data);
    bool sane = true;
    for (int i = 0; i < 4; ++i)
      sane = sane && sides[i] >= 0 && sides[i] <= 0x7fff;
    if (sane) {
      frame =
          FrameSize(static_cast<int>(sides[0] + sides[1]), static_cast<int>(sides[2] + sides[3]));
    }
  }
  if (data != nullptr) XFree(data);
  return frame;
}

// A VisibilityNotify, a new Xft.dpi or a new frame, whichever window of ours
// it is for; every event still goes on to SDL.
bool SDLCALL WatchEvent(void* followed, XEvent* x) {
  Connection& connection = *static_cast<Connection*>(followed);
  WindowState* watched = connection.window.get();
  if (x->type == VisibilityNotify) {
    if (watched != nullptr) watched->news.seen = x->xvisibility.state != VisibilityFullyObscured;
  } else if (x->type == PropertyNotify && x->xproperty.atom == connection.frame_extents) {
    // The window manager framed the window, changed the frame or took it off.
    if (watched != nullptr && x->xproperty.window == watched->window) {
      watched->frame =
          x->xproperty.state == PropertyDelete
              ? std::nullopt
              : FrameExtents(x->xproperty.display, watched->window, connection.frame_extents);
      watched->news.frame = true;
    }
  } else if (x->type == PropertyNotify && x->xproperty.atom == XA_RESOURCE_MANAGER) {
    // Xlib keeps the resources it read on connecting: read them afresh.
    Atom type = 0;
    int format = 0;
    unsigned long length = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(x->xproperty.display, x->xproperty.window, XA_RESOURCE_MANAGER, 0,
                           1 << 20, False, XA_STRING, &type, &format, &length, &after,
                           &data) == Success) {
      connection.scale = ScaleOf(reinterpret_cast<const char*>(data));
      if (watched != nullptr) watched->news.scale = connection.scale;
      if (data != nullptr) XFree(data);
    }
  }
  return true;
}

// Adds `mask` to what this connection selects on `window`, keeping SDL's.
void SelectMore(Display* display, Window window, long mask) {
  XWindowAttributes current;
  if (XGetWindowAttributes(display, window, &current) != 0)
    XSelectInput(display, window, current.your_event_mask | mask);
}

// A screensaver host's window is its own to size and paint: the program only
// watches it. SDL is told to select no input on a window it did not make, so
// its size (ConfigureNotify, which SDL then reports as a resize), whether it
// is covered, and the desktop's Xft.dpi (on the root) are asked for here.
void WatchHostWindow(const X11Window& x) {
  g_errors.host_window = x.window;
  const Window root = DefaultRootWindow(x.display);
  SelectMore(
      x.display, x.window,
      StructureNotifyMask | VisibilityChangeMask | (x.window == root ? PropertyChangeMask : 0));
  if (x.window != root) SelectMore(x.display, root, PropertyChangeMask);
}

// The window a screensaver host named: the one given, or for the root its
// virtual root (XSCREENSAVER_WINDOW) where it sets one, else the screen's
// root. Throws StartupError.
std::uint64_t HostWindow(const WindowSettings& settings) {
  if (settings.host == WindowSettings::Host::kHostWindow) return settings.host_window;
  // xscreensaver draws its hacks on a virtual root of its own and names it.
  const char* named = std::getenv("XSCREENSAVER_WINDOW");
  if (named != nullptr && named[0] != '\0') {
    char* end = nullptr;
    const unsigned long long id = std::strtoull(named, &end, 0);
    if (end != named && *end == '\0' && id != 0) return id;
  }
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    throw StartupError(std::string("cannot connect to the display (DISPLAY=") +
                       g_errors.display_name + ")");
  }
  const Window root = DefaultRootWindow(display);
  XCloseDisplay(display);
  return root;
}

void SetHostWindow(SDL_PropertiesID props, const WindowSettings& settings) {
  if (settings.host == WindowSettings::Host::kScreen) {
    linux_desktop::SetScreenWindow(props, settings);
    return;
  }
  SDL_SetNumberProperty(props, SDL_PROP_WINDOW_CREATE_X11_WINDOW_NUMBER,
                        static_cast<Sint64>(HostWindow(settings)));
}

void PrepareWindow(SDL_Window* window) {
  // The window surface then goes through shared memory instead of a software
  // OpenGL renderer that costs several times as much per frame.
  SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
  X11Window x;
  if (!X11Of(window, x)) return;
  // SDL takes a 30-bit window's surface for one of 8 bits a channel, and
  // the field would come out grey.
  XWindowAttributes current;
  if (XGetWindowAttributes(x.display, x.window, &current) != 0) {
    XVisualInfo wanted{};
    wanted.visualid = XVisualIDFromVisual(current.visual);
    int count = 0;
    XVisualInfo* info = XGetVisualInfo(x.display, VisualIDMask, &wanted, &count);
    const bool ok = info == nullptr || count == 0 || SurfaceCanShow(info[0], true);
    if (info != nullptr) XFree(info);
    if (!ok) {
      throw StartupError("cannot draw into the window's " + std::to_string(current.depth) +
                         "-bit visual");
    }
  }
  Connection* connection = VideoState<Connection>(kConnection, true);
  if (connection == nullptr) {
    throw StartupError(std::string("cannot follow the window: ") + SDL_GetError());
  }
  connection->scale = ScaleOf(XResourceManagerString(x.display));
  connection->frame_extents = XInternAtom(x.display, "_NET_FRAME_EXTENTS", False);
  connection->window = std::make_unique<WindowState>();
  WindowState& watched = *connection->window;
  watched.window = x.window;
  SDL_SetX11EventHook(WatchEvent, connection);
  if ((SDL_GetWindowFlags(window) & SDL_WINDOW_EXTERNAL) != 0) {
    watched.hosted = true;
    WatchHostWindow(x);
    return;
  }
  // Where a window manager already named the frame; SDL selects property
  // changes on its windows, so the hook hears of every later one.
  watched.frame = FrameExtents(x.display, x.window, connection->frame_extents);
  // SDL leaves the window without a background, so until the first frame,
  // and in any area a resize uncovers, the server shows whatever was there:
  // the desktop beneath, or white from the window manager's frame. A black
  // background is painted by the server itself at once. North-west gravity
  // keeps what is already shown in place on a resize instead of clearing it.
  XSetWindowAttributes attributes{};
  attributes.background_pixel = BlackPixel(x.display, DefaultScreen(x.display));
  attributes.bit_gravity = NorthWestGravity;
  XChangeWindowAttributes(x.display, x.window, CWBackPixel | CWBitGravity, &attributes);
  // SDL reports unmapping and iconifying but not a window fully covered by
  // others, which X tells only to those who ask. Nor does SDL's word that the
  // window is shown mean it can be seen yet: under a window manager it comes
  // before the frame around the window is mapped. The window counts as seen
  // once X says so, as it does when the window becomes viewable.
  SelectMore(x.display, x.window, VisibilityChangeMask);
  watched.news.seen = false;
  // A desktop publishes a new Xft.dpi by rewriting the root window's
  // resources; this connection's own selection on the root is kept.
  SelectMore(x.display, DefaultRootWindow(x.display), PropertyChangeMask);
}

WindowNews TakeNews() {
  WindowState* watched = Watched();
  return watched != nullptr ? std::exchange(watched->news, WindowNews{}) : WindowNews{};
}

// A screensaver host's window reports no frame, whatever it carries: the
// frame assumed stands for it.
std::optional<FrameSize> Frame(SDL_Window*) {
  const WindowState* watched = Watched();
  if (watched == nullptr || watched->hosted) return std::nullopt;
  return watched->frame;
}

bool MapWithoutWaiting(SDL_Window* window) {
  X11Window x;
  if (!X11Of(window, x)) {
    SDL_ShowWindow(window);
    return true;
  }
  // SDL_ShowWindow waits for the MapNotify, for ever where a window manager
  // has taken over mapping and does not map the window (one still starting,
  // say). Mapped here, SDL reports the window shown when the MapNotify comes.
  // A screensaver host's window is the host's to map.
  if ((SDL_GetWindowFlags(window) & SDL_WINDOW_EXTERNAL) == 0) XMapRaised(x.display, x.window);
  XWindowAttributes attributes;
  const bool viewable = XGetWindowAttributes(x.display, x.window, &attributes) != 0 &&
                        attributes.map_state == IsViewable;
  WindowState* watched = Watched();
  if (viewable && watched != nullptr) watched->news.seen = true;
  return viewable;
}

void BeginTeardown() {
  linux_desktop::StopAnswerTimeout();
  g_errors.closing = true;
  if (Connection* connection = VideoState<Connection>(kConnection)) connection->window.reset();
}

}  // namespace

const Backend kBackend = {
    .driver = "x11",
    .SetHostWindow = SetHostWindow,
    .PrepareWindow = PrepareWindow,
    // MIT-SHM puts of our own, or SDL's window surface where there is none.
    .MakePresenter = MakeShmPresenter,
    .DisplayScale = XftScale,
    .ShowWithoutWaiting = MapWithoutWaiting,
    .StartupDone = linux_desktop::StartupDone,
    .TakeWindowNews = TakeNews,
    .WindowFrame = Frame,
    .WaitEvent = SdlWaitEvent,
    .SetModalStep = linux_desktop::NoModalLoop,
    .SignalledToEnd = linux_desktop::SignalledToEnd,
    // A lost display is reported by the handler Xlib calls.
    .OnQuitEvent = [] {},
    .PrepareErrorBox = linux_desktop::PrepareErrorBox,
    .BeginTeardown = BeginTeardown,
};

}  // namespace glimmer::backend::x11
