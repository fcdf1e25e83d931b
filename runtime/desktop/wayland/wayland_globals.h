// The connection's side of the Wayland presenter: an event queue of our own
// on a wl_display (SDL's, or one of our own), the globals bound through it,
// and the outputs with their scales.
#pragma once

#include <wayland-client.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "fractional-scale-v1-client-protocol.h"
#include "viewporter-client-protocol.h"
#include "wlr-layer-shell-unstable-v1-client-protocol.h"

namespace glimmer::backend::wayland {

class Globals {
 public:
  Globals() = default;
  ~Globals();
  Globals(const Globals&) = delete;
  Globals& operator=(const Globals&) = delete;

  // False where the compositor lacks wl_compositor or wl_shm. On a display
  // of SDL's, outputs that go are kept until the connection closes (see
  // Abandon); on one of our own they are let go of.
  bool Bind(wl_display* display, bool own_display = false);
  // Calls `added` for every output there is and every one that comes, and
  // `removed` for every one that goes, while dispatching.
  void WatchOutputs(std::function<void(wl_output*)> added, std::function<void(wl_output*)> removed);
  // Takes what has arrived for our queue, without blocking.
  void Dispatch();
  // Waits up to `timeout_ms` for anything to arrive on the connection (for
  // SDL's queue or ours), and takes what came for ours; false where a
  // signal cut the wait short.
  bool Wait(int timeout_ms);
  bool Lost() const { return wl_display_get_error(display_) != 0; }
  void Flush() { wl_display_flush(display_); }
  // How many frames the compositor has asked for, of every surface of ours
  // on the connection: a wait that has many surfaces to look out for sees a
  // frame asked for by watching this one count.
  std::uint64_t FramesAsked() const { return frames_asked_; }
  void CountFrameAsked() { ++frames_asked_; }

  // Follows which outputs our surface enters and leaves.
  void Follow(wl_surface* surface);
  // The largest scale of the outputs that surface is on; before it is on
  // one, `home`'s where given, else the largest it may land on.
  int OutputScale(wl_output* home = nullptr) const;

  wl_compositor* compositor() const { return compositor_; }
  wl_subcompositor* subcompositor() const { return subcompositor_; }
  wl_shm* shm() const { return shm_; }
  wp_viewporter* viewporter() const { return viewporter_; }
  wp_fractional_scale_manager_v1* fractional_manager() const { return fractional_manager_; }
  zwlr_layer_shell_v1* layer_shell() const { return layer_shell_; }
  wl_display* display() const { return display_; }
  wl_event_queue* queue() const { return queue_; }

 private:
  struct Output {
    wl_output* proxy = nullptr;
    std::uint32_t name = 0;
    int scale = 1;
    bool entered = false;
  };
  static void OnGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version);
  static void OnGlobalRemove(void* data, wl_registry* registry, std::uint32_t name);
  static void Abandon(wl_output* output);
  void Entered(wl_output* output, bool on);
  void LetGo(wl_output* output);

  wl_display* display_ = nullptr;
  wl_event_queue* queue_ = nullptr;
  wl_display* wrapper_ = nullptr;  // the display, with our queue
  wl_registry* registry_ = nullptr;
  wl_compositor* compositor_ = nullptr;
  wl_subcompositor* subcompositor_ = nullptr;
  wl_shm* shm_ = nullptr;
  wp_viewporter* viewporter_ = nullptr;
  wp_fractional_scale_manager_v1* fractional_manager_ = nullptr;
  zwlr_layer_shell_v1* layer_shell_ = nullptr;
  std::uint32_t layer_shell_version_ = 0;
  bool own_display_ = false;
  std::uint64_t frames_asked_ = 0;
  std::vector<Output> outputs_;
  std::function<void(wl_output*)> output_added_;
  std::function<void(wl_output*)> output_removed_;
};

}  // namespace glimmer::backend::wayland
