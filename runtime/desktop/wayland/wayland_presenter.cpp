// PLATFORM: Wayland under the portable SDL runtime.
// COVERS: frames through wl_shm buffers on a subsurface over SDL's window, in
//   device pixels at the output's scale, paced by frame callbacks on an event
//   queue of our own; whether the compositor shows the window at all.
// LIMITATIONS: fractional scales (wp_fractional_scale_v1 with wp_viewporter)
//   are tested on KWin only (weston 10 and sway 1.7 predate the protocol),
//   where the 741-row window is a fractional number of device rows and KWin
//   resamples the rows to fit.
// DEPENDENCIES: wayland-client; protocol glue from wayland-scanner.
#include "runtime/desktop/wayland/wayland_presenter.h"

#include <SDL3/SDL.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fractional-scale-v1-client-protocol.h"
#include "viewporter-client-protocol.h"

namespace glimmer::backend::wayland {
namespace {

using Clock = std::chrono::steady_clock;

// A frame the compositor has not asked to follow for this long is not being
// shown: the window is minimised, on a hidden workspace or fully covered.
// Weston and mutter then hold the frame callback until it is shown again.
constexpr auto kUnseenAfter = std::chrono::milliseconds(250);

// Fractional scales come in 120ths.
constexpr double kFractionalDenominator = 120.0;

// Shared memory the compositor reads pixels from.
class ShmBuffer {
 public:
  ShmBuffer(wl_shm* shm, int width, int height) : width_(width), height_(height) {
    const std::size_t size = Bytes();
    const int fd = memfd_create("glimmerfeld", MFD_CLOEXEC);
    if (fd < 0) return;
    if (ftruncate(fd, static_cast<off_t>(size)) == 0) {
      void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (p != MAP_FAILED) {
        pixels_ = static_cast<std::uint32_t*>(p);
        wl_shm_pool* pool = wl_shm_create_pool(shm, fd, static_cast<std::int32_t>(size));
        buffer_ =
            wl_shm_pool_create_buffer(pool, 0, width, height, width * 4, WL_SHM_FORMAT_XRGB8888);
        wl_shm_pool_destroy(pool);
        static const wl_buffer_listener listener = {
            [](void* data, wl_buffer*) { static_cast<ShmBuffer*>(data)->busy_ = false; }};
        wl_buffer_add_listener(buffer_, &listener, this);
      }
    }
    close(fd);
  }
  ~ShmBuffer() {
    if (buffer_ != nullptr) wl_buffer_destroy(buffer_);
    if (pixels_ != nullptr) munmap(pixels_, Bytes());
  }
  ShmBuffer(const ShmBuffer&) = delete;
  ShmBuffer& operator=(const ShmBuffer&) = delete;

  bool ok() const { return buffer_ != nullptr; }
  wl_buffer* buffer() const { return buffer_; }
  std::uint32_t* pixels() const { return pixels_; }
  int width() const { return width_; }
  int height() const { return height_; }
  // Held by the compositor: attached and not yet released.
  bool busy() const { return busy_; }
  void MarkBusy() { busy_ = true; }

 private:
  std::size_t Bytes() const {
    return static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_) * 4;
  }
  int width_;
  int height_;
  std::uint32_t* pixels_ = nullptr;
  wl_buffer* buffer_ = nullptr;
  bool busy_ = false;
};

struct Output {
  wl_output* proxy = nullptr;
  std::uint32_t name = 0;
  int scale = 1;
  bool entered = false;
};

class WaylandPresenter final : public Presenter {
 public:
  // One on the screen, one to draw into.
  static constexpr int kBuffers = 2;

  explicit WaylandPresenter(SDL_Window* window) : window_(window) {}
  ~WaylandPresenter() override;
  WaylandPresenter(const WaylandPresenter&) = delete;
  WaylandPresenter& operator=(const WaylandPresenter&) = delete;

  bool Init(wl_display* display, wl_surface* parent);

  double Scale() override {
    Dispatch();
    return CurrentScale();
  }
  void ClientSize(int& width, int& height) override {
    int w = 0, h = 0;
    SDL_GetWindowSize(window_, &w, &h);
    width = DeviceLength(w);
    height = DeviceLength(h);
  }
  int ToWindowUnits(int device_pixels) override {
    return std::max(1, static_cast<int>(std::lround(device_pixels / CurrentScale())));
  }
  bool Seen() override {
    Dispatch();
    return !frame_pending_ || Clock::now() - committed_at_ < kUnseenAfter;
  }
  int Buffers() const override { return kBuffers; }
  std::optional<Buffer> Acquire() override;
  void Submit(const std::vector<Rect>& damage) override;
  std::string Describe() const override { return "wayland shm"; }

 private:
  double CurrentScale() const {
    if (fractional_ > 0) return fractional_ / kFractionalDenominator;
    int entered = 0, any = 1;
    for (const Output& o : outputs_) {
      if (o.entered) entered = std::max(entered, o.scale);
      any = std::max(any, o.scale);
    }
    // Before the window is on an output, the largest it may land on.
    return entered > 0 ? entered : any;
  }
  bool Fractional() const { return fractional_ > 0 && viewporter_ != nullptr; }
  int DeviceLength(int logical) const {
    return static_cast<int>(std::lround(logical * CurrentScale()));
  }
  void Dispatch();
  void UpdateParent(int logical_w, int logical_h);

  static void OnGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version);
  static void OnGlobalRemove(void* data, wl_registry* registry, std::uint32_t name);
  static void Abandon(wl_output* output);

  SDL_Window* window_;
  wl_display* display_ = nullptr;
  wl_surface* parent_ = nullptr;  // SDL's
  wl_event_queue* queue_ = nullptr;
  wl_display* wrapper_ = nullptr;  // the display, with our queue
  wl_registry* registry_ = nullptr;
  wl_compositor* compositor_ = nullptr;
  wl_subcompositor* subcompositor_ = nullptr;
  wl_shm* shm_ = nullptr;
  wp_viewporter* viewporter_ = nullptr;
  wp_fractional_scale_manager_v1* fractional_manager_ = nullptr;
  std::vector<Output> outputs_;

  wl_surface* surface_ = nullptr;
  wl_subsurface* subsurface_ = nullptr;
  wp_viewport* viewport_ = nullptr;
  wp_fractional_scale_v1* fractional_scale_ = nullptr;
  int fractional_ = 0;  // 120ths, 0 until the compositor names one

  std::unique_ptr<ShmBuffer> slots_[kBuffers];
  // Replaced at a resize while the compositor still held them.
  std::vector<std::unique_ptr<ShmBuffer>> retired_;
  int current_ = -1;
  int surface_w_ = 0;  // logical size the opaque region was set for
  int surface_h_ = 0;
  int applied_scale_ = 0;

  // SDL's surface needs content to be mapped; ours covers it. It is never
  // written: fresh shared memory is zero, which is black.
  std::unique_ptr<ShmBuffer> parent_buffer_;

  wl_callback* frame_ = nullptr;
  bool frame_pending_ = false;
  Clock::time_point committed_at_;
};

void WaylandPresenter::OnGlobal(void* data, wl_registry* registry, std::uint32_t name,
                                const char* interface, std::uint32_t version) {
  auto* self = static_cast<WaylandPresenter*>(data);
  auto bind = [&](const wl_interface* iface, std::uint32_t wanted) {
    return wl_registry_bind(registry, name, iface, std::min(version, wanted));
  };
  if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
    // Version 4 for damage in buffer coordinates.
    self->compositor_ = static_cast<wl_compositor*>(bind(&wl_compositor_interface, 4));
  } else if (std::strcmp(interface, wl_subcompositor_interface.name) == 0) {
    self->subcompositor_ = static_cast<wl_subcompositor*>(bind(&wl_subcompositor_interface, 1));
  } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
    self->shm_ = static_cast<wl_shm*>(bind(&wl_shm_interface, 1));
  } else if (std::strcmp(interface, wp_viewporter_interface.name) == 0) {
    self->viewporter_ = static_cast<wp_viewporter*>(bind(&wp_viewporter_interface, 1));
  } else if (std::strcmp(interface, wp_fractional_scale_manager_v1_interface.name) == 0) {
    self->fractional_manager_ = static_cast<wp_fractional_scale_manager_v1*>(
        bind(&wp_fractional_scale_manager_v1_interface, 1));
  } else if (std::strcmp(interface, wl_output_interface.name) == 0 && version >= 2) {
    // Version 2 brings the scale.
    auto* proxy = static_cast<wl_output*>(bind(&wl_output_interface, 2));
    self->outputs_.push_back(Output{proxy, name, 1, false});
    static const wl_output_listener listener = {
        [](void*, wl_output*, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
           const char*, const char*, std::int32_t) {},
        [](void*, wl_output*, std::uint32_t, std::int32_t, std::int32_t, std::int32_t) {},
        [](void*, wl_output*) {},
        [](void* d, wl_output* o, std::int32_t factor) {
          if (d == nullptr) return;  // let go of (see Abandon)
          for (Output& out : static_cast<WaylandPresenter*>(d)->outputs_)
            if (out.proxy == o) out.scale = std::max(1, factor);
        },
        [](void*, wl_output*, const char*) {},
        [](void*, wl_output*, const char*) {}};
    wl_output_add_listener(proxy, &listener, self);
  }
}

void WaylandPresenter::OnGlobalRemove(void* data, wl_registry*, std::uint32_t name) {
  auto& outputs = static_cast<WaylandPresenter*>(data)->outputs_;
  for (auto it = outputs.begin(); it != outputs.end(); ++it) {
    if (it->name == name) {
      Abandon(it->proxy);
      outputs.erase(it);
      return;
    }
  }
}

// The compositor names every wl_output of the client in the enter and leave
// events of every surface, SDL's too. A destroyed proxy would reach SDL's
// handlers as a null output, which SDL need not expect, so ours stay
// alive until the connection closes, handled on SDL's queue by a listener
// that ignores them.
void WaylandPresenter::Abandon(wl_output* output) {
  wl_proxy_set_user_data(reinterpret_cast<wl_proxy*>(output), nullptr);
  wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(output), nullptr);
}

bool WaylandPresenter::Init(wl_display* display, wl_surface* parent) {
  display_ = display;
  parent_ = parent;
  // Everything of ours goes through this queue, which only we dispatch, so
  // that SDL's own dispatch never runs our handlers and we never run SDL's.
  queue_ = wl_display_create_queue(display_);
  wrapper_ = static_cast<wl_display*>(wl_proxy_create_wrapper(display_));
  if (queue_ == nullptr || wrapper_ == nullptr) return false;
  wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(wrapper_), queue_);
  registry_ = wl_display_get_registry(wrapper_);
  static const wl_registry_listener listener = {OnGlobal, OnGlobalRemove};
  wl_registry_add_listener(registry_, &listener, this);
  // The globals, then the outputs' scales.
  if (wl_display_roundtrip_queue(display_, queue_) < 0 ||
      wl_display_roundtrip_queue(display_, queue_) < 0) {
    return false;
  }
  if (compositor_ == nullptr || subcompositor_ == nullptr || shm_ == nullptr) return false;

  surface_ = wl_compositor_create_surface(compositor_);
  static const wl_surface_listener surface_listener = {
      [](void* d, wl_surface*, wl_output* o) {
        for (Output& out : static_cast<WaylandPresenter*>(d)->outputs_)
          if (out.proxy == o) out.entered = true;
      },
      [](void* d, wl_surface*, wl_output* o) {
        for (Output& out : static_cast<WaylandPresenter*>(d)->outputs_)
          if (out.proxy == o) out.entered = false;
      },
#ifdef WL_SURFACE_PREFERRED_BUFFER_SCALE_SINCE_VERSION
      // Wayland 1.22's hints, sent only to surfaces of wl_compositor 6: the
      // outputs' scales above tell the same.
      [](void*, wl_surface*, std::int32_t) {},
      [](void*, wl_surface*, std::uint32_t) {},
#endif
  };
  wl_surface_add_listener(surface_, &surface_listener, this);
  subsurface_ = wl_subcompositor_get_subsurface(subcompositor_, surface_, parent_);
  // Our frames go up on their own schedule, not with SDL's commits.
  wl_subsurface_set_desync(subsurface_);
  // Pointer and touch go through to SDL's surface.
  wl_region* none = wl_compositor_create_region(compositor_);
  wl_surface_set_input_region(surface_, none);
  wl_region_destroy(none);
  if (fractional_manager_ != nullptr && viewporter_ != nullptr) {
    viewport_ = wp_viewporter_get_viewport(viewporter_, surface_);
    fractional_scale_ =
        wp_fractional_scale_manager_v1_get_fractional_scale(fractional_manager_, surface_);
    static const wp_fractional_scale_v1_listener fractional_listener = {
        [](void* d, wp_fractional_scale_v1*, std::uint32_t scale) {
          static_cast<WaylandPresenter*>(d)->fractional_ = static_cast<int>(scale);
        }};
    wp_fractional_scale_v1_add_listener(fractional_scale_, &fractional_listener, this);
  }
  wl_display_flush(display_);
  return true;
}

WaylandPresenter::~WaylandPresenter() {
  if (frame_ != nullptr) wl_callback_destroy(frame_);
  for (auto& slot : slots_)
    slot.reset();
  retired_.clear();
  if (fractional_scale_ != nullptr) wp_fractional_scale_v1_destroy(fractional_scale_);
  if (viewport_ != nullptr) wp_viewport_destroy(viewport_);
  if (subsurface_ != nullptr) wl_subsurface_destroy(subsurface_);
  if (surface_ != nullptr) wl_surface_destroy(surface_);
  parent_buffer_.reset();
  for (Output& o : outputs_)
    Abandon(o.proxy);
  if (fractional_manager_ != nullptr) wp_fractional_scale_manager_v1_destroy(fractional_manager_);
  if (viewporter_ != nullptr) wp_viewporter_destroy(viewporter_);
  if (shm_ != nullptr) wl_shm_destroy(shm_);
  if (subcompositor_ != nullptr) wl_subcompositor_destroy(subcompositor_);
  if (compositor_ != nullptr) wl_compositor_destroy(compositor_);
  if (registry_ != nullptr) wl_registry_destroy(registry_);
  if (wrapper_ != nullptr) wl_proxy_wrapper_destroy(wrapper_);
  if (display_ != nullptr) wl_display_flush(display_);
  if (queue_ != nullptr) wl_event_queue_destroy(queue_);
}

// Takes what has arrived for our queue, without blocking. SDL reads the
// socket too; libwayland's prepare/read protocol lets both do so safely.
void WaylandPresenter::Dispatch() {
  while (wl_display_prepare_read_queue(display_, queue_) != 0)
    wl_display_dispatch_queue_pending(display_, queue_);
  wl_display_flush(display_);
  pollfd fd{wl_display_get_fd(display_), POLLIN, 0};
  if (poll(&fd, 1, 0) > 0) {
    wl_display_read_events(display_);
  } else {
    wl_display_cancel_read(display_);
  }
  wl_display_dispatch_queue_pending(display_, queue_);
}

std::optional<FrameSink::Buffer> WaylandPresenter::Acquire() {
  Dispatch();
  // The last frame is not on the screen yet: a new one would only replace it.
  if (frame_pending_ || wl_display_get_error(display_) != 0) return std::nullopt;
  int w = 0, h = 0;
  ClientSize(w, h);
  if (w <= 0 || h <= 0) return std::nullopt;
  for (auto& slot : slots_) {
    if (slot != nullptr && (slot->width() != w || slot->height() != h)) {
      if (slot->busy()) retired_.push_back(std::move(slot));
      slot.reset();
    }
  }
  std::erase_if(retired_, [](const auto& b) { return !b->busy(); });
  for (int i = 0; i < kBuffers; ++i) {
    auto& slot = slots_[i];
    if (slot != nullptr && slot->busy()) continue;
    const bool fresh = slot == nullptr;
    if (fresh) {
      slot = std::make_unique<ShmBuffer>(shm_, w, h);
      if (!slot->ok()) {
        slot.reset();
        return std::nullopt;
      }
    }
    current_ = i;
    Buffer b;
    b.pixels = slot->pixels();
    b.width = w;
    b.height = h;
    b.pitch = w;
    b.layout = PixelLayout{16, 8, 0, 0};  // XRGB8888
    b.index = i;
    b.fresh = fresh;
    return b;
  }
  return std::nullopt;
}

void WaylandPresenter::Submit(const std::vector<Rect>& damage) {
  if (current_ < 0 || slots_[current_] == nullptr) return;
  ShmBuffer& b = *slots_[current_];
  current_ = -1;
  int logical_w = 0, logical_h = 0;
  SDL_GetWindowSize(window_, &logical_w, &logical_h);
  wl_surface_attach(surface_, b.buffer(), 0, 0);
  if (Fractional()) {
    wp_viewport_set_destination(viewport_, logical_w, logical_h);
  } else {
    const int scale = static_cast<int>(CurrentScale());
    if (scale != applied_scale_) {
      wl_surface_set_buffer_scale(surface_, scale);
      applied_scale_ = scale;
    }
  }
  if (logical_w != surface_w_ || logical_h != surface_h_) {
    wl_region* opaque = wl_compositor_create_region(compositor_);
    wl_region_add(opaque, 0, 0, logical_w, logical_h);
    wl_surface_set_opaque_region(surface_, opaque);
    wl_region_destroy(opaque);
  }
  if (damage.empty() || wl_compositor_get_version(compositor_) < 4) {
    wl_surface_damage(surface_, 0, 0, INT32_MAX, INT32_MAX);
  } else {
    for (const Rect& r : damage)
      wl_surface_damage_buffer(surface_, r.x, r.y, r.width, r.height);
  }
  if (frame_ != nullptr) wl_callback_destroy(frame_);
  frame_ = wl_surface_frame(surface_);
  static const wl_callback_listener frame_listener = {[](void* d, wl_callback* cb, std::uint32_t) {
    auto* self = static_cast<WaylandPresenter*>(d);
    wl_callback_destroy(cb);
    self->frame_ = nullptr;
    self->frame_pending_ = false;
  }};
  wl_callback_add_listener(frame_, &frame_listener, this);
  wl_surface_commit(surface_);
  b.MarkBusy();
  frame_pending_ = true;
  committed_at_ = Clock::now();
  UpdateParent(logical_w, logical_h);
  wl_display_flush(display_);
}

// SDL's surface keeps the logical size of the window. SDL gives it buffer
// scale 1 (or a viewport of the logical size), as the window asks for no
// high pixel density, so a buffer of that size never clashes with what SDL
// sets.
void WaylandPresenter::UpdateParent(int logical_w, int logical_h) {
  if (logical_w == surface_w_ && logical_h == surface_h_) return;
  surface_w_ = logical_w;
  surface_h_ = logical_h;
  auto buffer = std::make_unique<ShmBuffer>(shm_, logical_w, logical_h);
  if (!buffer->ok()) return;
  wl_surface_attach(parent_, buffer->buffer(), 0, 0);
  wl_surface_damage(parent_, 0, 0, logical_w, logical_h);
  wl_surface_commit(parent_);
  // The old one may still be read until this commit lands; the compositor
  // keeps its own reference to the memory.
  parent_buffer_ = std::move(buffer);
}

}  // namespace

std::unique_ptr<Presenter> MakePresenter(SDL_Window* window) {
  const SDL_PropertiesID props = SDL_GetWindowProperties(window);
  auto* display = static_cast<wl_display*>(
      SDL_GetPointerProperty(props, SDL_PROP_WINDOW_WAYLAND_DISPLAY_POINTER, nullptr));
  auto* surface = static_cast<wl_surface*>(
      SDL_GetPointerProperty(props, SDL_PROP_WINDOW_WAYLAND_SURFACE_POINTER, nullptr));
  if (display == nullptr || surface == nullptr) return nullptr;
  auto presenter = std::make_unique<WaylandPresenter>(window);
  if (!presenter->Init(display, surface)) return nullptr;
  return presenter;
}

}  // namespace glimmer::backend::wayland
