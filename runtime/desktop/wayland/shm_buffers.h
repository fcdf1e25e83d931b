// Shared memory the compositor reads frames from.
#pragma once

#include <wayland-client.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "runtime/core/frame_sink.h"

namespace glimmer::backend::wayland {

// One XRGB8888 buffer in a memfd of its own.
class ShmBuffer {
 public:
  ShmBuffer(wl_shm* shm, int width, int height);
  ~ShmBuffer();
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

// The buffers frames take turns with: one on the screen, one to draw into.
class ShmBuffers {
 public:
  static constexpr int kCount = 2;
  struct Taken {
    ShmBuffer* buffer;
    int index;
    bool fresh;  // new memory, holding no earlier frame
    // As a frame sink hands it out: XRGB8888, rows one after the other.
    FrameSink::Buffer AsFrameBuffer() const;
  };
  // One of `width` x `height` that the compositor does not hold, or none.
  // Buffers of another size are let go, once the compositor releases them.
  // The one taken last comes first where the compositor has let it go: it
  // holds the newest frame, and may already be taking plots directly.
  std::optional<Taken> Take(wl_shm* shm, int width, int height);
  // Whether `b`, as taken last from its slot, is still there and not held.
  bool Writable(const FrameSink::Buffer& b) const;

 private:
  std::unique_ptr<ShmBuffer> slots_[kCount];
  int last_ = 0;
  std::vector<std::unique_ptr<ShmBuffer>> retired_;
};

}  // namespace glimmer::backend::wayland
