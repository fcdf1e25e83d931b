// The X server's idle time for the resident screensaver (X11Idle): the
// MIT-SCREEN-SAVER extension's count of milliseconds since the last input,
// asked again only when the wait could be over, and its notify events.
//
// A program that holds the server's screensaver off (XScreenSaverSuspend: a
// video player, a presentation) is not visible in that count; it shows only
// as the server's own screensaver not coming on once its own timeout has
// passed. So the field waits too where that timeout has passed more than a
// second ago and the server's saver is still off, until the server's saver
// comes on (a notify event) or the user's input starts the count afresh.
// Programs that keep resetting the server's timer (XResetScreenSaver, as SDL
// and mpv do) restart the count, and so are respected whatever the timeouts.
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "runtime/desktop/linux/linux_system.h"
#include "runtime/desktop/sdl_runtime.h"

namespace glimmer {

namespace {

// How late the server's own screensaver may come on before it counts as held
// off.
constexpr unsigned long kHeldOffAfterMs = 1000;

}  // namespace

struct X11Idle::Connection {
  ~Connection() {
    if (info != nullptr) XFree(info);
    if (display != nullptr) XCloseDisplay(display);
  }
  Display* display = nullptr;
  Window root = 0;
  XScreenSaverInfo* info = nullptr;
};

X11Idle::X11Idle(std::uint32_t seconds)
    : connection_(std::make_unique<Connection>()), idle_ms_(seconds * 1000u) {
  const char* name = std::getenv("DISPLAY");
  const std::string where = std::string("DISPLAY=") + (name != nullptr ? name : "");
  backend::linux_desktop::PrepareX11Only();
  Connection& c = *connection_;
  c.display = XOpenDisplay(nullptr);
  if (c.display == nullptr) throw StartupError("cannot connect to the display (" + where + ")");
  int event_base = 0, error_base = 0;
  if (!XScreenSaverQueryExtension(c.display, &event_base, &error_base) ||
      (c.info = XScreenSaverAllocInfo()) == nullptr) {
    throw StartupError("the X server (" + where +
                       ") tells no idle time (no MIT-SCREEN-SAVER), which "
                       "--screensaver-after needs");
  }
  c.root = DefaultRootWindow(c.display);
  // Woken when the server's own screensaver comes on: one held off by
  // another program does as soon as that program lets go.
  XScreenSaverSelectInput(c.display, c.root, ScreenSaverNotifyMask);
  XSync(c.display, False);
  backend::linux_desktop::StartupDone();
}

X11Idle::~X11Idle() = default;

bool X11Idle::WaitForIdle() {
  Connection& c = *connection_;
  for (;;) {
    while (XPending(c.display) > 0) {
      XEvent event;
      XNextEvent(c.display, &event);
    }
    if (backend::linux_desktop::SignalledToEnd()) return false;
    XScreenSaverQueryInfo(c.display, c.root, c.info);
    int timeout = 0, interval = 0, blanking = 0, exposures = 0;
    XGetScreenSaver(c.display, &timeout, &interval, &blanking, &exposures);
    const unsigned long idle = c.info->idle;
    const bool held_off = c.info->state == ScreenSaverOff && timeout > 0 &&
                          idle >= static_cast<unsigned long>(timeout) * 1000 + kHeldOffAfterMs;
    if (!held_off && idle >= idle_ms_) return true;
    // Events read with the replies are not on the connection any more.
    if (XQLength(c.display) > 0) continue;
    // Asked again when the count could reach the time given; held off, only
    // when something happens.
    std::optional<std::int64_t> wait;
    if (!held_off) wait = static_cast<std::int64_t>(idle_ms_ - idle) * 1'000'000;
    backend::linux_desktop::WaitReadable(ConnectionNumber(c.display), wait);
  }
}

bool TakeScreenEndedByInput() {
  return backend::linux_desktop::TakeEndedByInput();
}

}  // namespace glimmer
