#include "tests/support/withholding_window_manager.h"

#include <X11/Xatom.h>

#include <stdexcept>

#include "tests/support/process.h"

namespace glimmer::testing {

WithholdingWindowManager::WithholdingWindowManager(const std::string& display) {
  display_ = XOpenDisplay(display.c_str());
  if (display_ == nullptr) throw std::runtime_error("cannot open display " + display);
  XSelectInput(display_, DefaultRootWindow(display_), SubstructureRedirectMask);
  XSync(display_, False);
}

WithholdingWindowManager::~WithholdingWindowManager() {
  if (display_ != nullptr) XCloseDisplay(display_);
}

std::optional<Window> WithholdingWindowManager::HandleRequests() {
  std::optional<Window> asked;
  while (XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    if (event.type == MapRequest) {
      asked = event.xmaprequest.window;
    } else if (event.type == ConfigureRequest) {
      const XConfigureRequestEvent& r = event.xconfigurerequest;
      XWindowChanges changes{};
      changes.x = r.x;
      changes.y = r.y;
      changes.width = r.width;
      changes.height = r.height;
      changes.border_width = r.border_width;
      changes.sibling = r.above;
      changes.stack_mode = r.detail;
      XConfigureWindow(display_, r.window, static_cast<unsigned>(r.value_mask), &changes);
    }
  }
  XFlush(display_);
  return asked;
}

std::optional<Window> WithholdingWindowManager::WaitForMapRequest(
    std::chrono::milliseconds timeout) {
  std::optional<Window> w;
  Eventually([&] { return (w = HandleRequests()).has_value(); }, timeout,
             std::chrono::milliseconds(5));
  return w;
}

void WithholdingWindowManager::Serve(std::chrono::milliseconds span) {
  // Every map asked for meanwhile stays withheld.
  HoldsFor(
      [&] {
        HandleRequests();
        return true;
      },
      span, std::chrono::milliseconds(5));
}

void WithholdingWindowManager::Map(Window w) {
  XMapRaised(display_, w);
  XSync(display_, False);
}

void WithholdingWindowManager::SetFrameExtents(Window w, const std::array<long, 4>& sides) {
  XChangeProperty(display_, w, XInternAtom(display_, "_NET_FRAME_EXTENTS", False), XA_CARDINAL, 32,
                  PropModeReplace, reinterpret_cast<const unsigned char*>(sides.data()), 4);
  XSync(display_, False);
}

}  // namespace glimmer::testing
