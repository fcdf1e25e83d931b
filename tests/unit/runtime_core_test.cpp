// RuntimeCore::Present judged by what it hands a sink, not by how it keeps
// track: over many frames, with points plotted between them, every submitted
// buffer must hold exactly the canvas with the ball on top, and its damage
// must cover everything that changed on the screen.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <list>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "runtime/core/canvas.h"
#include "runtime/core/frame_sink.h"
#include "runtime/core/pcg32.h"
#include "runtime/core/runtime_core.h"
#include "runtime/core/twip_mapping.h"
#include "tests/support/ball_offsets.h"

namespace glimmer {
namespace {

// What new memory holds before anybody draws into it, and what lies past
// each row's end: neither is ever a pixel of a frame.
constexpr std::uint32_t kGarbage = 0x5a5a5a5au;
constexpr int kRowPadding = 3;

// Buffers in memory, handed out in turn as a compositor's are: a buffer it
// still reads is held back and skipped, and one may be replaced by new memory.
class MemorySink : public FrameSink {
 public:
  MemorySink(int buffers, PixelLayout layout) : slots_(buffers), layout_(layout) {}

  int Buffers() const override { return static_cast<int>(slots_.size()); }
  std::optional<Buffer> Acquire() override {
    const int n = Buffers();
    for (int i = 0; i < n; ++i) {
      const int index = (next_ + i) % n;
      Slot& s = slots_[index];
      if (s.held) continue;
      const bool fresh = s.pixels.empty() || s.renew || s.width != width_ || s.height != height_;
      if (fresh) {
        // The old memory stays valid: a canvas may still mirror into it.
        retired_.push_back(std::move(s.pixels));
        s.pixels.assign(static_cast<std::size_t>(Pitch() * height_), kGarbage);
        s.width = width_;
        s.height = height_;
        s.renew = false;
      }
      next_ = (index + 1) % n;
      acquired_ = index;
      return Buffer{s.pixels.data(), width_, height_, Pitch(), layout_, index, fresh};
    }
    return std::nullopt;
  }
  void Submit(const std::vector<Rect>& damage) override {
    ASSERT_GE(acquired_, 0) << "Submit without Acquire";
    last_index = std::exchange(acquired_, -1);
    last_damage = damage;
    ++submits;
  }
  std::string Describe() const override { return "memory"; }

  void Resize(int width, int height) {
    width_ = width;
    height_ = height;
  }
  void RenewNext() { slots_[next_].renew = true; }
  void Hold(int index, bool held) { slots_[index].held = held; }
  int width() const { return width_; }
  int height() const { return height_; }
  int Pitch() const { return width_ + kRowPadding; }
  const std::vector<std::uint32_t>& Pixels(int index) const { return slots_[index].pixels; }

  int submits = 0;
  int last_index = -1;
  std::vector<Rect> last_damage;

 private:
  struct Slot {
    std::vector<std::uint32_t> pixels;
    int width = 0, height = 0;
    bool held = false, renew = false;
  };
  std::vector<Slot> slots_;
  std::list<std::vector<std::uint32_t>> retired_;
  PixelLayout layout_;
  int width_ = 0, height_ = 0;
  int next_ = 0;
  int acquired_ = -1;
};

// A frame as rows of `width` pixels, no padding.
struct Frame {
  int width = 0, height = 0;
  std::vector<std::uint32_t> pixels;
};

// The frame in buffer `index`; none if anything was written past a row's end.
std::optional<Frame> ReadBack(const MemorySink& sink, int index) {
  const auto& p = sink.Pixels(index);
  Frame f{sink.width(), sink.height(), {}};
  for (int y = 0; y < f.height; ++y) {
    const auto row = p.begin() + static_cast<std::ptrdiff_t>(y) * sink.Pitch();
    f.pixels.insert(f.pixels.end(), row, row + f.width);
    if (std::any_of(row + f.width, row + sink.Pitch(), [](auto v) { return v != kGarbage; }))
      return std::nullopt;
  }
  return f;
}

// The frame the screen should show, made from what was plotted (a canvas of
// the test's own, fed the same points) and the outline of a fresh ball at the
// place its box is now.
Frame ExpectedFrame(const Canvas& plotted, const PixelLayout& layout, Single left, Single top,
                    Single ball_width) {
  Frame f{plotted.width(), plotted.height(), {}};
  f.pixels.resize(static_cast<std::size_t>(f.width) * static_cast<std::size_t>(f.height));
  plotted.CopyVisibleTo(f.pixels.data(), f.width);
  const TwipMapping& m = plotted.mapping();
  const std::int64_t x0 = m.PixelOf(left), y0 = m.PixelOf(top);
  for (const auto& [dx, dy] : testing::BallOffsets(m.PixelLength(ball_width), m.LineThickness())) {
    const std::int64_t x = x0 + dx, y = y0 + dy;
    if (x >= 0 && y >= 0 && x < f.width && y < f.height)
      f.pixels[static_cast<std::size_t>(y * f.width + x)] = layout.Encode(0xffffffu);
  }
  return f;
}

// The pixels of `now` that differ from `before` (every one, where the size
// changed or nothing was shown yet) and lie outside `damage`; empty damage
// is the whole surface.
std::string OutsideDamage(const Frame& before, const Frame& now, const std::vector<Rect>& damage) {
  if (damage.empty()) return "";
  std::vector<bool> covered(now.pixels.size());
  for (const Rect& r : damage) {
    for (int y = std::max(r.y, 0); y < std::min(r.y + r.height, now.height); ++y)
      for (int x = std::max(r.x, 0); x < std::min(r.x + r.width, now.width); ++x)
        covered[static_cast<std::size_t>(y * now.width + x)] = true;
  }
  const bool same_size = before.width == now.width && before.height == now.height;
  std::ostringstream out;
  int missed = 0;
  for (int y = 0; y < now.height; ++y) {
    for (int x = 0; x < now.width; ++x) {
      const auto i = static_cast<std::size_t>(y * now.width + x);
      if (covered[i] || (same_size && before.pixels[i] == now.pixels[i])) continue;
      if (missed++ < 3) out << " (" << x << ", " << y << ")";
    }
  }
  if (missed == 0) return "";
  return std::to_string(missed) + " changed pixels outside the damage, e.g." + out.str();
}

// Frames of the same size.
std::string FirstDifference(const Frame& expected, const Frame& got) {
  int wrong = 0;
  std::ostringstream out;
  for (std::size_t i = 0; i < got.pixels.size(); ++i) {
    if (got.pixels[i] == expected.pixels[i]) continue;
    if (wrong++ < 3) {
      out << " (" << i % static_cast<std::size_t>(got.width) << ", "
          << i / static_cast<std::size_t>(got.width) << ") is " << std::hex << got.pixels[i]
          << " not " << expected.pixels[i] << std::dec;
    }
  }
  return wrong == 0 ? "" : std::to_string(wrong) + " pixels differ:" + out.str();
}

// 240 frames through a sink of `buffers` buffers, events at fixed frames,
// the points and the drift from a seeded generator.
void RunFrames(int buffers, PixelLayout layout) {
  SCOPED_TRACE(::testing::Message() << buffers << " buffer(s)");
  constexpr Single kBall = 495.0f;  // 33 pixels at 96 dpi
  RuntimeCore core;
  Canvas plotted;
  MemorySink sink(buffers, layout);
  Pcg32 rng(2024, buffers);
  auto below = [&](int n) { return static_cast<int>(rng.NextSingle() * static_cast<float>(n)); };

  auto resize = [&](int w, int h) {
    core.SetClientSize(w, h);
    plotted.SetVisibleSize(w, h);
    sink.Resize(w, h);
  };
  auto rescale = [&](double scale, int w, int h) {
    core.SetScale(scale);
    plotted.Rescale(scale);
    resize(w, h);
  };
  // Points anywhere over the outer size and a little beyond, so that some
  // fall outside the client area and are dropped.
  auto plot = [&](int count) {
    for (int i = 0; i < count; ++i) {
      const auto x = static_cast<Single>(rng.NextSingle() * (core.WindowWidth() + 400.0f) - 200.0f);
      const auto y =
          static_cast<Single>(rng.NextSingle() * (core.WindowHeight() + 400.0f) - 200.0f);
      const Colour colour = 0x1e1e1eu + (rng.Next() & 0xe0e0e0u);
      core.PlotPoint(x, y, colour);
      plotted.Plot(x, y, colour);
    }
  };

  rescale(1.0, 160, 120);
  core.CreateBall(0.0f, 0.0f, kBall);
  Frame shown;  // what the screen shows: the last frame submitted
  int submits = 0, partial = 0;
  for (int frame = 0; frame < 240; ++frame) {
    SCOPED_TRACE(::testing::Message() << "frame " << frame);
    if (frame == 20) sink.RenewNext();
    // The compositor keeps the first buffer for a while; with one buffer no
    // frame can be made meanwhile, and every plot waits.
    if (frame == 40) sink.Hold(0, true);
    if (frame == 56) sink.Hold(0, false);
    if (frame == 100) resize(197, 101);
    // A new display scale: 2x2 blocks for the old points, a larger ball.
    if (frame == 130) rescale(2.0, 394, 202);
    // The sink's buffers change size before the runtime hears of it.
    if (frame == 170) sink.Resize(380, 230);
    if (frame == 200) rescale(1.5, 285, 173);
    // A burst larger than any log of missed points, between two frames,
    // after a few without points, so that no buffer lacks any before it.
    if (frame == 70) {
      plot(20000);
    } else if (frame >= 40 && frame < 56) {
      plot(1000);
    } else if (frame < 66 || frame > 70) {
      plot(below(60));
    }
    // The drift, down the diagonal and round at the right and bottom edges
    // (past the client area, into the frame, then in again from off the top
    // left).
    core.SetBallLeft(core.BallLeft() > core.WindowWidth() ? -kBall : core.BallLeft() + 90.0f);
    core.SetBallTop(core.BallTop() > core.WindowHeight() ? -kBall : core.BallTop() + 70.0f);

    const std::vector<std::uint32_t> held =
        buffers > 1 && frame >= 40 && frame < 56 ? sink.Pixels(0) : std::vector<std::uint32_t>{};
    core.Present(sink);
    if (sink.submits == submits) {
      ASSERT_TRUE(frame >= 40 && frame < 56 && buffers == 1) << "no frame made";
      continue;
    }
    ASSERT_EQ(sink.submits, submits + 1);
    submits = sink.submits;
    if (!held.empty()) {
      ASSERT_EQ(sink.Pixels(0), held) << "a buffer the compositor holds changed";
    }

    plotted.SetVisibleSize(sink.width(), sink.height());
    plotted.SetLayout(layout);
    const std::optional<Frame> got = ReadBack(sink, sink.last_index);
    ASSERT_TRUE(got.has_value()) << "written past the end of a row";
    ASSERT_EQ(FirstDifference(
                  ExpectedFrame(plotted, layout, core.BallLeft(), core.BallTop(), kBall), *got),
              "");
    ASSERT_EQ(OutsideDamage(shown, *got, sink.last_damage), "");
    partial += sink.last_damage.empty() ? 0 : 1;
    shown = *got;
  }
  std::printf("%d buffer(s): %d frames, %d with damage less than the whole\n", buffers, submits,
              partial);
  // With buffers that keep their frames, most frames name their damage, so
  // the check above was put to the test.
  if (buffers > 1) {
    EXPECT_GT(partial, submits / 2);
  }
}

TEST(RuntimeCorePresent, EveryBufferHoldsTheCanvasAndTheBallAndItsDamageCoversTheChange) {
  RunFrames(1, PixelLayout{});
  // The page's ImageData order, with an opaque alpha in every pixel.
  RunFrames(1, PixelLayout{0, 8, 16, 0xff000000u});
  RunFrames(2, PixelLayout{});
  RunFrames(3, PixelLayout{});
}

}  // namespace
}  // namespace glimmer
