// A surface of our own that frames are committed to: its scale, its commits,
// and their pacing by frame callbacks. Over SDL's window it is a subsurface
// of SDL's, which SDL keeps with its events and decorations; without a
// parent the caller gives it its role (a layer of the desktop).
#pragma once

#include <wayland-client.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "runtime/core/frame_sink.h"
#include "runtime/desktop/wayland/shm_buffers.h"
#include "runtime/desktop/wayland/wayland_globals.h"

namespace glimmer::backend::wayland {

class FrameSurface {
 public:
  // `parent`: SDL's surface, or null. `home`: the output the surface is
  // meant for, whose scale holds until the compositor says where it is.
  FrameSurface(Globals& globals, wl_surface* parent, wl_output* home = nullptr);
  ~FrameSurface();
  FrameSurface(const FrameSurface&) = delete;
  FrameSurface& operator=(const FrameSurface&) = delete;

  // Device pixels per logical pixel: the compositor's fractional scale where
  // it names one, else the outputs'.
  double Scale() const;
  // The last frame is not on the screen yet.
  bool FramePending() const { return frame_pending_; }
  // How many times the compositor has asked for the next frame.
  std::uint64_t FramesAsked() const { return frames_asked_; }
  // Whether the compositor shows the surface at all.
  bool Seen() const;
  wl_surface* surface() const { return surface_; }
  // Shows `buffer` over a window of `logical_w` x `logical_h`, with what
  // changed since the buffer's last frame inside `damage` (empty: anywhere).
  void Commit(ShmBuffer& buffer, int logical_w, int logical_h, const std::vector<Rect>& damage);

 private:
  bool Fractional() const { return fractional_ > 0 && viewport_ != nullptr; }
  void UpdateParent(int logical_w, int logical_h);

  Globals& globals_;
  wl_surface* parent_;  // SDL's, or null
  wl_output* home_;
  wl_surface* surface_ = nullptr;
  wl_subsurface* subsurface_ = nullptr;
  wp_viewport* viewport_ = nullptr;
  wp_fractional_scale_v1* fractional_scale_ = nullptr;
  int fractional_ = 0;  // 120ths, 0 until the compositor names one
  int surface_w_ = 0;   // logical size the opaque region was set for
  int surface_h_ = 0;
  int applied_scale_ = 0;
  // SDL's surface needs content to be mapped; ours covers it. It is never
  // written: fresh shared memory is zero, which is black.
  std::unique_ptr<ShmBuffer> parent_buffer_;
  wl_callback* frame_ = nullptr;
  bool frame_pending_ = false;
  std::uint64_t frames_asked_ = 0;
  std::chrono::steady_clock::time_point committed_at_;
};

}  // namespace glimmer::backend::wayland
