#include "tests/support/x11_probe.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/scrnsaver.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "tests/support/process.h"

namespace glimmer::testing {
namespace {

// One colour channel of a TrueColor pixel, read to 8 bits.
struct Channel {
  explicit Channel(unsigned long mask_) : mask(mask_) {
    while (mask != 0 && (mask >> shift & 1u) == 0)
      ++shift;
    max = mask >> shift;
  }
  std::uint32_t Decode(unsigned long pixel) const {
    if (max == 0) return 0;
    const unsigned long v = (pixel & mask) >> shift;
    return static_cast<std::uint32_t>((v * 255 + max / 2) / max);
  }
  unsigned long mask;
  unsigned shift = 0;
  unsigned long max = 0;
};

// Xlib's default handler exits the process on errors such as a window that
// has just gone away; a probe only needs to know the call failed.
int IgnoreXError(Display*, XErrorEvent*) {
  return 0;
}

std::string TitleOf(Display* d, Window w) {
  Atom net_wm_name = XInternAtom(d, "_NET_WM_NAME", False);
  Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string title;
  if (XGetWindowProperty(d, w, net_wm_name, 0, 1024, False, utf8, &type, &format, &count, &after,
                         &data) == Success &&
      data != nullptr) {
    title.assign(reinterpret_cast<char*>(data), count);
    XFree(data);
    return title;
  }
  char* name = nullptr;
  if (XFetchName(d, w, &name) != 0 && name != nullptr) {
    title = name;
    XFree(name);
  }
  return title;
}

}  // namespace

XProbe::XProbe(const std::string& display) {
  XSetErrorHandler(IgnoreXError);
  display_ = XOpenDisplay(display.c_str());
  if (display_ == nullptr) throw std::runtime_error("cannot open display " + display);
}

XProbe::~XProbe() {
  if (display_ != nullptr) XCloseDisplay(display_);
}

void XProbe::CollectByTitle(Window root, const std::string& title, std::vector<Window>& found) {
  Window parent = 0, ret_root = 0;
  Window* children = nullptr;
  unsigned int n = 0;
  if (XQueryTree(display_, root, &ret_root, &parent, &children, &n) == 0) return;
  for (unsigned int i = 0; i < n; ++i) {
    XWindowAttributes attrs;
    if (XGetWindowAttributes(display_, children[i], &attrs) != 0 && attrs.map_state == IsViewable &&
        TitleOf(display_, children[i]) == title) {
      found.push_back(children[i]);
    } else {
      CollectByTitle(children[i], title, found);
    }
  }
  if (children != nullptr) XFree(children);
}

std::vector<Window> XProbe::WindowsTitled(const std::string& title) {
  std::vector<Window> found;
  CollectByTitle(DefaultRootWindow(display_), title, found);
  return found;
}

std::optional<Window> XProbe::WaitForWindow(const std::string& title,
                                            std::chrono::milliseconds timeout) {
  std::vector<Window> found;
  Eventually([&] { return !(found = WindowsTitled(title)).empty(); }, timeout,
             std::chrono::milliseconds(5));
  return found.empty() ? std::nullopt : std::optional<Window>(found.front());
}

bool XProbe::Exists(Window w) {
  XWindowAttributes attrs;
  return XGetWindowAttributes(display_, w, &attrs) != 0;
}

std::pair<int, int> XProbe::Size(Window w) {
  XWindowAttributes attrs;
  if (XGetWindowAttributes(display_, w, &attrs) == 0) return {0, 0};
  return {attrs.width, attrs.height};
}

std::optional<std::array<long, 4>> XProbe::FrameExtents(Window w) {
  const std::vector<unsigned long> v = Property32(w, "_NET_FRAME_EXTENTS");
  if (v.size() != 4) return std::nullopt;
  return std::array<long, 4>{static_cast<long>(v[0]), static_cast<long>(v[1]),
                             static_cast<long>(v[2]), static_cast<long>(v[3])};
}

void XProbe::SetScreensaverTimeout(int seconds) {
  XSetScreenSaver(display_, seconds, 0, DefaultBlanking, DefaultExposures);
  XSync(display_, False);
}

bool XProbe::ScreensaverOn() {
  XScreenSaverInfo* info = XScreenSaverAllocInfo();
  const bool on = info != nullptr &&
                  XScreenSaverQueryInfo(display_, DefaultRootWindow(display_), info) != 0 &&
                  info->state == ScreenSaverOn;
  XFree(info);
  return on;
}

void XProbe::HoldScreensaverOff(bool hold) {
  XScreenSaverSuspend(display_, hold ? True : False);
  XSync(display_, False);
}

bool XProbe::WindowManagerReady(std::chrono::milliseconds timeout) {
  // A window manager announces itself before it handles its first map
  // request; a window of our own, mapped and shown by it, proves it does.
  const Window root = DefaultRootWindow(display_);
  const Window w = XCreateSimpleWindow(display_, root, 0, 0, 10, 10, 0, 0, 0);
  XMapWindow(display_, w);
  XSync(display_, False);
  const bool ready = Eventually([&] { return Viewable(w) && FrameExtents(w).has_value(); }, timeout,
                                std::chrono::milliseconds(5));
  XDestroyWindow(display_, w);
  XSync(display_, False);
  return ready;
}

Image XProbe::Capture(Window w) {
  Image image;
  auto [width, height] = Size(w);
  if (width <= 0 || height <= 0) return image;
  XImage* x = XGetImage(display_, w, 0, 0, static_cast<unsigned>(width),
                        static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (x == nullptr) return image;
  image.width = width;
  image.height = height;
  image.pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  if (x->bits_per_pixel == 32 && x->byte_order == LSBFirst && x->red_mask == 0xff0000 &&
      x->green_mask == 0xff00 && x->blue_mask == 0xff) {
    for (int yy = 0; yy < height; ++yy) {
      const auto* row = reinterpret_cast<const std::uint32_t*>(x->data + yy * x->bytes_per_line);
      for (int xx = 0; xx < width; ++xx) {
        image.pixels[static_cast<std::size_t>(yy) * static_cast<std::size_t>(width) +
                     static_cast<std::size_t>(xx)] = row[xx] & 0xffffffu;
      }
    }
    XDestroyImage(x);
    return image;
  }
  // Any other TrueColor visual (depth 30, 16, 8): each channel by its mask,
  // scaled to 8 bits as the eye would read it.
  const Channel red(x->red_mask), green(x->green_mask), blue(x->blue_mask);
  for (int yy = 0; yy < height; ++yy) {
    for (int xx = 0; xx < width; ++xx) {
      const unsigned long p = XGetPixel(x, xx, yy);
      image.pixels[static_cast<std::size_t>(yy) * static_cast<std::size_t>(width) +
                   static_cast<std::size_t>(xx)] =
          (red.Decode(p) << 16) | (green.Decode(p) << 8) | blue.Decode(p);
    }
  }
  XDestroyImage(x);
  return image;
}

void XProbe::RequestClose(Window w) {
  XEvent ev;
  std::memset(&ev, 0, sizeof ev);
  ev.xclient.type = ClientMessage;
  ev.xclient.window = w;
  ev.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
  ev.xclient.data.l[1] = CurrentTime;
  XSendEvent(display_, w, False, NoEventMask, &ev);
  XFlush(display_);
}

void XProbe::Resize(Window w, int width, int height) {
  XResizeWindow(display_, w, static_cast<unsigned>(width), static_cast<unsigned>(height));
  XSync(display_, False);
}

void XProbe::Iconify(Window w) {
  XIconifyWindow(display_, w, DefaultScreen(display_));
  // Without a window manager nobody acts on the request: unmap directly.
  XUnmapWindow(display_, w);
  XSync(display_, False);
}

std::string XProbe::WmClass(Window w) {
  XClassHint hint{};
  if (XGetClassHint(display_, w, &hint) == 0) return {};
  std::string out = std::string(hint.res_name != nullptr ? hint.res_name : "") + "/" +
                    (hint.res_class != nullptr ? hint.res_class : "");
  XFree(hint.res_name);
  XFree(hint.res_class);
  return out;
}

std::vector<unsigned long> XProbe::Property32(Window w, const std::string& name) {
  const Atom atom = XInternAtom(display_, name.c_str(), False);
  std::vector<unsigned long> values;
  long offset = 0;
  for (;;) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display_, w, atom, offset, 1 << 16, False, AnyPropertyType, &type,
                           &format, &count, &after, &data) != Success) {
      break;
    }
    // Xlib hands format-32 items back as longs, which may come sign-extended.
    if (format == 32 && data != nullptr) {
      const auto* items = reinterpret_cast<const unsigned long*>(data);
      for (unsigned long i = 0; i < count; ++i)
        values.push_back(items[i] & 0xffffffffUL);
    }
    if (data != nullptr) XFree(data);
    if (after == 0 || format != 32) break;
    offset += static_cast<long>(count);
  }
  return values;
}

void XProbe::MapRaised(Window w) {
  XMapRaised(display_, w);
  XSync(display_, False);
}

std::array<int, 4> XProbe::FrameRect(Window w) {
  const Window root = DefaultRootWindow(display_);
  Window top = w;
  for (;;) {
    Window ret_root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int n = 0;
    if (XQueryTree(display_, top, &ret_root, &parent, &children, &n) == 0) break;
    if (children != nullptr) XFree(children);
    if (parent == root || parent == 0) break;
    top = parent;
  }
  XWindowAttributes attrs;
  if (XGetWindowAttributes(display_, top, &attrs) == 0) return {0, 0, 0, 0};
  const int border = 2 * attrs.border_width;
  return {attrs.x, attrs.y, attrs.width + border, attrs.height + border};
}

bool XProbe::Viewable(Window w) {
  XWindowAttributes attrs;
  return XGetWindowAttributes(display_, w, &attrs) != 0 && attrs.map_state == IsViewable;
}

Window XProbe::Cover(Window w) {
  auto [width, height] = Size(w);
  int x = 0, y = 0;
  Window child = 0;
  const Window root = DefaultRootWindow(display_);
  XTranslateCoordinates(display_, w, root, 0, 0, &x, &y, &child);
  XSetWindowAttributes attrs;
  attrs.override_redirect = True;
  // Dark grey: neither black nor bright enough for a point (channels 30+).
  attrs.background_pixel = kCoverPixel;
  const Window cover =
      XCreateWindow(display_, root, x - 10, y - 10, static_cast<unsigned>(width + 20),
                    static_cast<unsigned>(height + 20), 0, CopyFromParent, InputOutput,
                    CopyFromParent, CWOverrideRedirect | CWBackPixel, &attrs);
  XMapRaised(display_, cover);
  XSync(display_, False);
  return cover;
}

Window XProbe::MapHostWindow(int width, int height) {
  const Window w =
      XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, static_cast<unsigned>(width),
                          static_cast<unsigned>(height), 0, 0, 0);
  XMapWindow(display_, w);
  XSync(display_, False);
  return w;
}

void XProbe::RemoveCover(Window cover) {
  XDestroyWindow(display_, cover);
  XSync(display_, False);
}

void XProbe::SetResources(const std::string& resources) {
  XChangeProperty(display_, DefaultRootWindow(display_), XA_RESOURCE_MANAGER, XA_STRING, 8,
                  PropModeReplace, reinterpret_cast<const unsigned char*>(resources.c_str()),
                  static_cast<int>(resources.size()));
  XSync(display_, False);
}

std::size_t LostPoints(const Image& before, const Image& after) {
  if (before.width != after.width || before.height != after.height) return before.pixels.size();
  std::size_t lost = 0;
  for (std::size_t i = 0; i < before.pixels.size(); ++i) {
    const std::uint32_t p = before.pixels[i];
    if (p != 0 && p != 0xffffffu && after.pixels[i] == 0) ++lost;
  }
  return lost;
}

std::size_t LitCount(const Image& image) {
  std::size_t lit = 0;
  for (std::uint32_t p : image.pixels)
    lit += p != 0 ? 1 : 0;
  return lit;
}

std::size_t DimCount(const Image& image, int min_channel) {
  std::size_t dim = 0;
  for (std::uint32_t p : image.pixels) {
    dim += p != 0 && (Image::Red(p) < min_channel || Image::Green(p) < min_channel ||
                      Image::Blue(p) < min_channel);
  }
  return dim;
}

std::array<std::size_t, 4> LitPerQuarter(const Image& image) {
  std::array<std::size_t, 4> lit{};
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x)
      lit[static_cast<std::size_t>((y * 2 / image.height) * 2 + x * 2 / image.width)] +=
          image.at(x, y) != 0;
  }
  return lit;
}

double PointsForCoverage(const Image& image, double spread_width, double spread_height) {
  const double pixels = static_cast<double>(image.width) * image.height;
  const double covered = static_cast<double>(LitCount(image)) / pixels;
  const double inside = pixels / (spread_width * spread_height);
  return -std::log(1.0 - covered) * pixels / inside;
}

}  // namespace glimmer::testing
