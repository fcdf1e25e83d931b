// The X server's idle time for the resident screensaver: the
// MIT-SCREEN-SAVER extension's count of milliseconds since the last input,
// asked again only when the wait could be over, and its notify events.
//
// A program that holds the server's screensaver off (XScreenSaverSuspend: a
// video player, a presentation) is not visible in that count; it shows only
// as the server's own screensaver not coming on once its own timeout has
// passed. So the field waits too where that timeout has passed more than a
// second ago and the server's saver is still off, until the server's saver
// comes on (a notify event: the other program let go).
// Programs that keep resetting the server's timer (XResetScreenSaver, as SDL
// and mpv do) restart the count, and so are respected whatever the timeouts.
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "runtime/desktop/linux/linux_system.h"
#include "runtime/desktop/sdl_runtime.h"

namespace glimmer {

namespace {

// How late the server's own screensaver may come on before it counts as held
// off.
constexpr unsigned long kHeldOffAfterMs = 1000;

class X11Idle final : public DesktopIdle {
 public:
  explicit X11Idle(std::uint32_t seconds) : idle_ms_(seconds * 1000u) {
    const char* name = std::getenv("DISPLAY");
    const std::string where = std::string("DISPLAY=") + (name != nullptr ? name : "");
    backend::linux_desktop::PrepareX11Only();
    display_ = XOpenDisplay(nullptr);
    if (display_ == nullptr) throw StartupError("cannot connect to the display (" + where + ")");
    int event_base = 0, error_base = 0;
    if (!XScreenSaverQueryExtension(display_, &event_base, &error_base) ||
        (info_ = XScreenSaverAllocInfo()) == nullptr) {
      Close();
      throw StartupError("the X server (" + where +
                         ") tells no idle time (no MIT-SCREEN-SAVER), which "
                         "--screensaver-after needs");
    }
    root_ = DefaultRootWindow(display_);
    // Woken when the server's own screensaver comes on: one held off by
    // another program does as soon as that program lets go.
    XScreenSaverSelectInput(display_, root_, ScreenSaverNotifyMask);
    XSync(display_, False);
    backend::linux_desktop::StartupDone();
  }
  ~X11Idle() override { Close(); }
  X11Idle(const X11Idle&) = delete;
  X11Idle& operator=(const X11Idle&) = delete;

  bool WaitForIdle() override {
    for (;;) {
      while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
      }
      if (backend::linux_desktop::SignalledToEnd()) return false;
      XScreenSaverQueryInfo(display_, root_, info_);
      int timeout = 0, interval = 0, blanking = 0, exposures = 0;
      XGetScreenSaver(display_, &timeout, &interval, &blanking, &exposures);
      const unsigned long idle = info_->idle;
      const bool held_off = info_->state == ScreenSaverOff && timeout > 0 &&
                            idle >= static_cast<unsigned long>(timeout) * 1000 + kHeldOffAfterMs;
      if (!held_off && idle >= idle_ms_) return true;
      // Events read with the replies are not on the connection any more.
      if (XQLength(display_) > 0) continue;
      // Asked again when the count could reach the time given; held off,
      // only when something happens.
      std::optional<std::int64_t> wait;
      if (!held_off) wait = static_cast<std::int64_t>(idle_ms_ - idle) * 1'000'000;
      backend::linux_desktop::WaitReadable(ConnectionNumber(display_), wait);
    }
  }

 private:
  void Close() {
    if (info_ != nullptr) XFree(std::exchange(info_, nullptr));
    if (display_ != nullptr) XCloseDisplay(std::exchange(display_, nullptr));
  }

  std::uint32_t idle_ms_;
  Display* display_ = nullptr;
  Window root_ = 0;
  XScreenSaverInfo* info_ = nullptr;
};

}  // namespace

std::unique_ptr<DesktopIdle> X11IdleTime(std::uint32_t seconds) {
  return std::make_unique<X11Idle>(seconds);
}

}  // namespace glimmer
