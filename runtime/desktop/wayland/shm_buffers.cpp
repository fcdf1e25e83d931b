#include "runtime/desktop/wayland/shm_buffers.h"

#include <sys/mman.h>
#include <unistd.h>

namespace glimmer::backend::wayland {

ShmBuffer::ShmBuffer(wl_shm* shm, int width, int height) : width_(width), height_(height) {
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

ShmBuffer::~ShmBuffer() {
  if (buffer_ != nullptr) wl_buffer_destroy(buffer_);
  if (pixels_ != nullptr) munmap(pixels_, Bytes());
}

FrameSink::Buffer ShmBuffers::Taken::AsFrameBuffer() const {
  FrameSink::Buffer b;
  b.pixels = buffer->pixels();
  b.width = buffer->width();
  b.height = buffer->height();
  b.pitch = buffer->width();
  b.layout = PixelLayout{16, 8, 0, 0};  // XRGB8888
  b.index = index;
  b.fresh = fresh;
  return b;
}

std::optional<ShmBuffers::Taken> ShmBuffers::Take(wl_shm* shm, int width, int height) {
  for (auto& slot : slots_) {
    if (slot != nullptr && (slot->width() != width || slot->height() != height)) {
      if (slot->busy()) retired_.push_back(std::move(slot));
      slot.reset();
    }
  }
  std::erase_if(retired_, [](const auto& b) { return !b->busy(); });
  for (int n = 0; n < kCount; ++n) {
    const int i = (last_ + n) % kCount;
    auto& slot = slots_[i];
    if (slot != nullptr && slot->busy()) continue;
    const bool fresh = slot == nullptr;
    if (fresh) {
      slot = std::make_unique<ShmBuffer>(shm, width, height);
      if (!slot->ok()) {
        slot.reset();
        return std::nullopt;
      }
    }
    last_ = i;
    return Taken{slot.get(), i, fresh};
  }
  return std::nullopt;
}

bool ShmBuffers::Writable(const FrameSink::Buffer& b) const {
  if (b.index < 0 || b.index >= kCount) return false;
  const ShmBuffer* slot = slots_[b.index].get();
  return slot != nullptr && slot->pixels() == b.pixels && slot->width() == b.width &&
         slot->height() == b.height && !slot->busy();
}

}  // namespace glimmer::backend::wayland
