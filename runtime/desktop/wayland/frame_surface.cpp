#include "runtime/desktop/wayland/frame_surface.h"

#include <climits>
#include <cstdint>

namespace glimmer::backend::wayland {
namespace {

// A frame the compositor has not asked to follow for this long is not being
// shown: the window is minimised, on a hidden workspace or fully covered.
// Weston and mutter then hold the frame callback until it is shown again.
constexpr auto kUnseenAfter = std::chrono::milliseconds(250);

// Fractional scales come in 120ths.
constexpr double kFractionalDenominator = 120.0;

}  // namespace

FrameSurface::FrameSurface(Globals& globals, wl_surface* parent, wl_output* home)
    : globals_(globals), parent_(parent), home_(home) {
  surface_ = wl_compositor_create_surface(globals_.compositor());
  globals_.Follow(surface_);
  if (parent_ != nullptr) {
    subsurface_ = wl_subcompositor_get_subsurface(globals_.subcompositor(), surface_, parent_);
    // Our frames go up on their own schedule, not with SDL's commits.
    wl_subsurface_set_desync(subsurface_);
  }
  // Pointer and touch go through to SDL's surface.
  wl_region* none = wl_compositor_create_region(globals_.compositor());
  wl_surface_set_input_region(surface_, none);
  wl_region_destroy(none);
  if (globals_.fractional_manager() != nullptr && globals_.viewporter() != nullptr) {
    viewport_ = wp_viewporter_get_viewport(globals_.viewporter(), surface_);
    fractional_scale_ = wp_fractional_scale_manager_v1_get_fractional_scale(
        globals_.fractional_manager(), surface_);
    static const wp_fractional_scale_v1_listener listener = {
        [](void* d, wp_fractional_scale_v1*, std::uint32_t scale) {
          static_cast<FrameSurface*>(d)->fractional_ = static_cast<int>(scale);
        }};
    wp_fractional_scale_v1_add_listener(fractional_scale_, &listener, this);
  }
}

FrameSurface::~FrameSurface() {
  if (frame_ != nullptr) wl_callback_destroy(frame_);
  if (fractional_scale_ != nullptr) wp_fractional_scale_v1_destroy(fractional_scale_);
  if (viewport_ != nullptr) wp_viewport_destroy(viewport_);
  if (subsurface_ != nullptr) wl_subsurface_destroy(subsurface_);
  if (surface_ != nullptr) wl_surface_destroy(surface_);
}

double FrameSurface::Scale() const {
  if (fractional_ > 0) return fractional_ / kFractionalDenominator;
  return globals_.OutputScale(home_);
}

bool FrameSurface::Seen() const {
  return !frame_pending_ || std::chrono::steady_clock::now() - committed_at_ < kUnseenAfter;
}

void FrameSurface::Commit(ShmBuffer& buffer, int logical_w, int logical_h,
                          const std::vector<Rect>& damage) {
  wl_surface_attach(surface_, buffer.buffer(), 0, 0);
  if (Fractional()) {
    wp_viewport_set_destination(viewport_, logical_w, logical_h);
  } else {
    const int scale = static_cast<int>(Scale());
    if (scale != applied_scale_) {
      wl_surface_set_buffer_scale(surface_, scale);
      applied_scale_ = scale;
    }
  }
  if (logical_w != surface_w_ || logical_h != surface_h_) {
    wl_region* opaque = wl_compositor_create_region(globals_.compositor());
    wl_region_add(opaque, 0, 0, logical_w, logical_h);
    wl_surface_set_opaque_region(surface_, opaque);
    wl_region_destroy(opaque);
  }
  if (damage.empty() || wl_compositor_get_version(globals_.compositor()) < 4) {
    wl_surface_damage(surface_, 0, 0, INT32_MAX, INT32_MAX);
  } else {
    for (const Rect& r : damage)
      wl_surface_damage_buffer(surface_, r.x, r.y, r.width, r.height);
  }
  if (frame_ != nullptr) wl_callback_destroy(frame_);
  frame_ = wl_surface_frame(surface_);
  static const wl_callback_listener listener = {[](void* d, wl_callback* cb, std::uint32_t) {
    auto* self = static_cast<FrameSurface*>(d);
    wl_callback_destroy(cb);
    self->frame_ = nullptr;
    self->frame_pending_ = false;
    ++self->frames_asked_;
    self->globals_.CountFrameAsked();
  }};
  wl_callback_add_listener(frame_, &listener, this);
  wl_surface_commit(surface_);
  buffer.MarkBusy();
  frame_pending_ = true;
  committed_at_ = std::chrono::steady_clock::now();
  UpdateParent(logical_w, logical_h);
  globals_.Flush();
}

// SDL's surface keeps the logical size of the window. SDL gives it buffer
// scale 1 (or a viewport of the logical size), as the window asks for no
// high pixel density, so a buffer of that size never clashes with what SDL
// sets.
void FrameSurface::UpdateParent(int logical_w, int logical_h) {
  if (logical_w == surface_w_ && logical_h == surface_h_) return;
  surface_w_ = logical_w;
  surface_h_ = logical_h;
  if (parent_ == nullptr) return;
  auto buffer = std::make_unique<ShmBuffer>(globals_.shm(), logical_w, logical_h);
  if (!buffer->ok()) return;
  wl_surface_attach(parent_, buffer->buffer(), 0, 0);
  wl_surface_damage(parent_, 0, 0, logical_w, logical_h);
  wl_surface_commit(parent_);
  // The old one may still be read until this commit lands; the compositor
  // keeps its own reference to the memory.
  parent_buffer_ = std::move(buffer);
}

}  // namespace glimmer::backend::wayland
