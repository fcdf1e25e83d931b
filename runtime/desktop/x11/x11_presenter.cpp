// BACKEND: X11, its frames.
// COVERS: frames put into SDL's window from one MIT-SHM segment, on an X
//   connection of our own whose completion events SDL's event pump never
//   takes; the segment is not written from a put until its completion, and
//   no frame waits for the server unless the one before is still not done
//   by then.
// LIMITATIONS: only visuals of 32 bits a pixel with 8 bits a channel; other
//   ones, servers without MIT-SHM and remote displays (whose server cannot
//   reach our memory) keep SDL's window surface.
// DEPENDENCIES: libX11, libXext (MIT-SHM).
#include "runtime/desktop/x11/x11_presenter.h"

#include <SDL3/SDL.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace glimmer::backend::x11 {
namespace {

// How long a frame waits for the server to finish with the one before; past
// it the frame is skipped, and its plots wait in the log.
constexpr auto kCompletionWait = std::chrono::milliseconds(100);

// Set by the handler in force while the segment is attached.
bool g_attach_refused = false;
int RefuseAttach(Display*, XErrorEvent*) {
  g_attach_refused = true;
  return 0;
}

class ShmPresenter final : public Presenter {
 public:
  explicit ShmPresenter(SDL_Window* window) : window_(window) {}
  ~ShmPresenter() override;
  ShmPresenter(const ShmPresenter&) = delete;
  ShmPresenter& operator=(const ShmPresenter&) = delete;

  bool Init();

  void Dispatch() override;
  int Buffers() const override { return 1; }
  std::optional<Buffer> Acquire() override;
  void Submit(const std::vector<Rect>& damage) override;
  bool Writable(const Buffer& b) const override {
    return !busy_ && image_ != nullptr && b.pixels == Pixels() && b.width == image_->width &&
           b.height == image_->height;
  }
  std::string Describe() const override { return "x11 shm"; }

 private:
  std::uint32_t* Pixels() const { return reinterpret_cast<std::uint32_t*>(image_->data); }
  // Until the last put's completion came; false if it did not in time.
  bool WaitForCompletion();
  bool Attach(int width, int height);
  void Detach();

  SDL_Window* window_;
  Display* display_ = nullptr;  // our own connection
  Window xwindow_ = 0;
  Visual* visual_ = nullptr;
  int depth_ = 0;
  GC gc_ = nullptr;
  PixelLayout layout_;
  int completion_type_ = 0;
  XShmSegmentInfo segment_{};
  XImage* image_ = nullptr;
  bool busy_ = false;  // put, and its completion not yet come
};

bool ShmPresenter::Init() {
  const SDL_PropertiesID props = SDL_GetWindowProperties(window_);
  auto* sdl_display = static_cast<Display*>(
      SDL_GetPointerProperty(props, SDL_PROP_WINDOW_X11_DISPLAY_POINTER, nullptr));
  xwindow_ =
      static_cast<Window>(SDL_GetNumberProperty(props, SDL_PROP_WINDOW_X11_WINDOW_NUMBER, 0));
  if (sdl_display == nullptr || xwindow_ == 0) return false;
  display_ = XOpenDisplay(DisplayString(sdl_display));
  if (display_ == nullptr || !XShmQueryExtension(display_)) return false;
  XWindowAttributes attributes;
  if (XGetWindowAttributes(display_, xwindow_, &attributes) == 0) return false;
  visual_ = attributes.visual;
  depth_ = attributes.depth;
  const unsigned long channels = visual_->red_mask | visual_->green_mask | visual_->blue_mask;
  for (unsigned long mask : {visual_->red_mask, visual_->green_mask, visual_->blue_mask}) {
    if (std::popcount(mask) != 8 || std::countr_zero(mask) % 8 != 0) return false;
  }
  layout_ = PixelLayout{static_cast<unsigned>(std::countr_zero(visual_->red_mask)),
                        static_cast<unsigned>(std::countr_zero(visual_->green_mask)),
                        static_cast<unsigned>(std::countr_zero(visual_->blue_mask)),
                        depth_ == 32 ? static_cast<std::uint32_t>(~channels) : 0u};
  completion_type_ = XShmGetEventBase(display_) + ShmCompletion;
  gc_ = XCreateGC(display_, xwindow_, 0, nullptr);
  int w = 0, h = 0;
  SDL_GetWindowSizeInPixels(window_, &w, &h);
  // A first segment tells whether the server can reach our memory at all.
  return Attach(w > 0 ? w : 1, h > 0 ? h : 1);
}

ShmPresenter::~ShmPresenter() {
  if (display_ == nullptr) return;
  Detach();
  if (gc_ != nullptr) XFreeGC(display_, gc_);
  XCloseDisplay(display_);
}

bool ShmPresenter::Attach(int width, int height) {
  image_ = XShmCreateImage(display_, visual_, static_cast<unsigned>(depth_), ZPixmap, nullptr,
                           &segment_, static_cast<unsigned>(width), static_cast<unsigned>(height));
  if (image_ == nullptr) return false;
  if (image_->bits_per_pixel != 32 || image_->bytes_per_line % 4 != 0) {
    XDestroyImage(image_);
    image_ = nullptr;
    return false;
  }
  const auto bytes =
      static_cast<std::size_t>(image_->bytes_per_line) * static_cast<std::size_t>(height);
  segment_.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  void* memory = segment_.shmid >= 0 ? shmat(segment_.shmid, nullptr, 0) : nullptr;
  if (memory == nullptr || memory == reinterpret_cast<void*>(-1)) {
    if (segment_.shmid >= 0) shmctl(segment_.shmid, IPC_RMID, nullptr);
    XDestroyImage(image_);
    image_ = nullptr;
    return false;
  }
  segment_.shmaddr = image_->data = static_cast<char*>(memory);
  segment_.readOnly = False;
  // Once at start and after a resize: the server's answer is waited for,
  // with refusals caught here rather than ending the program.
  XSync(display_, False);
  g_attach_refused = false;
  const auto previous = XSetErrorHandler(RefuseAttach);
  XShmAttach(display_, &segment_);
  XSync(display_, False);
  XSetErrorHandler(previous);
  // Freed once both sides let go of it.
  shmctl(segment_.shmid, IPC_RMID, nullptr);
  if (g_attach_refused) {
    shmdt(segment_.shmaddr);
    image_->data = nullptr;
    XDestroyImage(image_);
    image_ = nullptr;
    return false;
  }
  return true;
}

void ShmPresenter::Detach() {
  if (image_ == nullptr) return;
  // The server may still be reading it.
  WaitForCompletion();
  XShmDetach(display_, &segment_);
  XFlush(display_);
  shmdt(segment_.shmaddr);
  image_->data = nullptr;  // not XDestroyImage's to free
  XDestroyImage(image_);
  image_ = nullptr;
  busy_ = false;
}

void ShmPresenter::Dispatch() {
  // Only completions come on this connection.
  while (XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    if (event.type == completion_type_) busy_ = false;
  }
}

bool ShmPresenter::WaitForCompletion() {
  const auto deadline = std::chrono::steady_clock::now() + kCompletionWait;
  Dispatch();
  while (busy_) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fd{ConnectionNumber(display_), POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    Dispatch();
  }
  return true;
}

std::optional<FrameSink::Buffer> ShmPresenter::Acquire() {
  int w = 0, h = 0;
  SDL_GetWindowSizeInPixels(window_, &w, &h);
  if (w <= 0 || h <= 0) return std::nullopt;
  // Normally done long before: only a server behind by a whole frame makes
  // this wait.
  if (busy_ && !WaitForCompletion()) return std::nullopt;
  bool fresh = false;
  if (image_ == nullptr || image_->width != w || image_->height != h) {
    Detach();
    // Without a segment no frame is shown; the next one tries again.
    if (!Attach(w, h)) return std::nullopt;
    fresh = true;
  }
  Buffer b;
  b.pixels = Pixels();
  b.width = w;
  b.height = h;
  b.pitch = image_->bytes_per_line / 4;
  b.layout = layout_;
  b.fresh = fresh;
  return b;
}

void ShmPresenter::Submit(const std::vector<Rect>&) {
  if (image_ == nullptr) return;
  // The whole frame, with a completion event once the server has read it,
  // and no wait for that here.
  XShmPutImage(display_, xwindow_, gc_, image_, 0, 0, 0, 0, static_cast<unsigned>(image_->width),
               static_cast<unsigned>(image_->height), True);
  busy_ = true;
  XFlush(display_);
}

}  // namespace

std::unique_ptr<Presenter> MakeShmPresenter(SDL_Window* window) {
  auto presenter = std::make_unique<ShmPresenter>(window);
  if (!presenter->Init()) return nullptr;
  return presenter;
}

}  // namespace glimmer::backend::x11
