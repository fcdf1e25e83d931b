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

// Buffers in memory, handed out as a compositor's are: in turn, or the one
// shown last first; a buffer it still reads is held back and skipped, and
// one may be replaced by new memory. A buffer shown is held for
// `hold_wakes` wake-ups (0: not at all), as a compositor lets go of it at
// once, before the next frame, or only after the one after it.
class MemorySink : public FrameSink {
 public:
  MemorySink(int buffers, PixelLayout layout, int hold_wakes = 0, bool newest_first = false)
      : slots_(buffers), layout_(layout), hold_wakes_(hold_wakes), newest_first_(newest_first) {}

  int Buffers() const override { return static_cast<int>(slots_.size()); }
  std::optional<Buffer> Acquire() override {
    const int n = Buffers();
    for (int i = 0; i < n; ++i) {
      const int index = (next_ + i) % n;
      Slot& s = slots_[index];
      if (Held(index)) continue;
      const bool fresh = s.pixels.empty() || s.renew || s.width != width_ || s.height != height_;
      if (fresh) {
        // The old memory stays valid: a canvas may still mirror into it.
        retired_.push_back(std::move(s.pixels));
        s.pixels.assign(static_cast<std::size_t>(Pitch() * height_), kGarbage);
        s.width = width_;
        s.height = height_;
        s.renew = false;
      }
      next_ = newest_first_ ? index : (index + 1) % n;
      acquired_ = index;
      return Buffer{s.pixels.data(), width_, height_, Pitch(), layout_, index, fresh};
    }
    return std::nullopt;
  }
  void Submit(const std::vector<Rect>& damage) override {
    ASSERT_GE(acquired_, 0) << "Submit without Acquire";
    last_index = std::exchange(acquired_, -1);
    Slot& s = slots_[last_index];
    s.free_at = wakes_ + hold_wakes_;
    s.pinned = s.pinned || std::exchange(s.pin_next, false);
    last_damage = damage;
    ++submits;
  }
  bool Writable(const Buffer& b) const override {
    return !Held(b.index) && slots_[b.index].pixels.data() == b.pixels;
  }
  std::string Describe() const override { return "memory"; }

  // A wake-up of the program: buffers are let go of as their time comes.
  void Wake() { ++wakes_; }
  bool Held(int index) const { return slots_[index].pinned || slots_[index].free_at > wakes_; }
  bool AllHeld() const {
    for (int i = 0; i < Buffers(); ++i)
      if (!Held(i)) return false;
    return true;
  }
  void Resize(int width, int height) {
    width_ = width;
    height_ = height;
  }
  void RenewNext() { slots_[next_].renew = true; }
  // Held from its next showing until let go of.
  void Pin(int index) { slots_[index].pin_next = true; }
  void Unpin(int index) { slots_[index].pinned = slots_[index].pin_next = false; }
  int width() const { return width_; }
  int height() const { return height_; }
  int Pitch() const { return width_ + kRowPadding; }
  std::vector<std::uint32_t>& Pixels(int index) { return slots_[index].pixels; }
  const std::vector<std::uint32_t>& Pixels(int index) const { return slots_[index].pixels; }

  int submits = 0;
  int last_index = -1;
  std::vector<Rect> last_damage;

 private:
  struct Slot {
    std::vector<std::uint32_t> pixels;
    int width = 0, height = 0;
    bool pinned = false, pin_next = false, renew = false;
    int free_at = 0;  // the wake-up it is let go of at
  };
  std::vector<Slot> slots_;
  std::list<std::vector<std::uint32_t>> retired_;
  PixelLayout layout_;
  int hold_wakes_;
  bool newest_first_;
  int width_ = 0, height_ = 0;
  int next_ = 0;
  int acquired_ = -1;
  int wakes_ = 0;
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

// 240 frames through a sink of `buffers` buffers, held as `hold_wakes` and
// `newest_first` say (see MemorySink), events at fixed frames, the points and
// the drift from a seeded generator.
void RunFrames(int buffers, PixelLayout layout, int hold_wakes = 0, bool newest_first = false) {
  SCOPED_TRACE(::testing::Message() << buffers << " buffer(s), held for " << hold_wakes
                                    << " wake-ups" << (newest_first ? ", newest first" : ""));
  constexpr Single kBall = 495.0f;  // 33 pixels at 96 dpi
  RuntimeCore core;
  Canvas plotted;
  MemorySink sink(buffers, layout, hold_wakes, newest_first);
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
    if (frame == 40) sink.Pin(0);
    if (frame == 56) sink.Unpin(0);
    if (frame == 100) resize(197, 101);
    // A new display scale: 2x2 blocks for the old points, a larger ball.
    if (frame == 130) rescale(2.0, 394, 202);
    // The sink's buffers change size before the runtime hears of it.
    if (frame == 170) sink.Resize(380, 230);
    if (frame == 200) rescale(1.5, 285, 173);
    // A wake-up: buffers let go of come back, and may take the plots.
    sink.Wake();
    core.Reclaim(sink);
    std::vector<std::vector<std::uint32_t>> held(static_cast<std::size_t>(buffers));
    for (int i = 0; i < buffers; ++i)
      if (sink.Held(i)) held[static_cast<std::size_t>(i)] = sink.Pixels(i);
    const bool all_held = sink.AllHeld();
    // A burst larger than the log of plots, between two frames, after a few
    // without points, so that no buffer lacks any before it.
    if (frame == 70) {
      plot(static_cast<int>(Canvas::PlotLog::kCapacity) + 5000);
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

    core.Present(sink);
    for (int i = 0; i < buffers; ++i) {
      if (!held[static_cast<std::size_t>(i)].empty()) {
        ASSERT_EQ(sink.Pixels(i), held[static_cast<std::size_t>(i)])
            << "buffer " << i << " changed while the compositor held it";
      }
    }
    if (sink.submits == submits) {
      ASSERT_TRUE(all_held) << "no frame made";
      continue;
    }
    ASSERT_EQ(sink.submits, submits + 1);
    submits = sink.submits;

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
  RunFrames(1, PixelLayout{}, 2);
  RunFrames(2, PixelLayout{});
  RunFrames(3, PixelLayout{});
  // As mutter lets go of buffers, before the next frame; as weston's pixman
  // renderer does, only once the next has been shown.
  RunFrames(2, PixelLayout{}, 1, true);
  RunFrames(2, PixelLayout{}, 2, true);
}

// Which way a buffer gets what it lacks, told by a marked pixel that no plot
// reaches: writing the logged plots leaves it, copying the canvas puts back
// the black under it. Buffers that the compositor lets go of only after the
// next frame alternate, each two frames behind: up to the log's size they
// catch up from it, past it they are copied whole. One let go of before the
// next frame takes the plots as they come. Each copy is kept with its cause.
TEST(RuntimeCorePresent, BuffersCatchUpFromTheLogWhileItHoldsWhatTheyLack) {
  constexpr int kW = 400, kH = 300;
  constexpr std::uint32_t kMark = 0x00123456u;
  const std::size_t marked = static_cast<std::size_t>((kH - 1) * (kW + kRowPadding) + kW - 1);
  for (const int hold : {2, 1}) {
    SCOPED_TRACE(::testing::Message() << "held for " << hold << " wake-ups");
    RuntimeCore core;
    MemorySink sink(2, PixelLayout{}, hold, true);
    core.SetClientSize(kW, kH);
    sink.Resize(kW, kH);
    core.CreateBall(0.0f, 0.0f, 495.0f);
    Pcg32 rng(7, 7);
    // Points over the top half only, 15 twips to a pixel.
    auto plot = [&](int count) {
      for (int i = 0; i < count; ++i)
        core.PlotPoint(rng.NextSingle() * kW * 15.0f, rng.NextSingle() * kH * 7.0f,
                       0x1e1e1eu + (rng.Next() & 0xe0e0e0u));
    };
    for (int frame = 0; frame < 8; ++frame) {
      sink.Wake();
      core.Reclaim(sink);
      const int per_frame = frame < 2 ? 10 : frame < 5 ? 30000 : 40000;
      int next = sink.Held(0) ? 1 : 0;
      if (hold == 1) {
        // Taken back at the wake-up: a plot lands in it at once.
        next = sink.last_index < 0 ? 0 : sink.last_index;
        core.PlotPoint(15.0f, 15.0f, 0x0000ffu);
        if (frame > 0) {
          ASSERT_EQ(sink.Pixels(next)[static_cast<std::size_t>(kW + kRowPadding + 1)], 0xff0000u);
        }
      }
      if (!sink.Pixels(next).empty()) sink.Pixels(next)[marked] = kMark;
      plot(per_frame);
      const std::uint64_t copies = core.full_copies();
      core.Present(sink);
      ASSERT_EQ(sink.last_index, next);
      using Cause = RuntimeCore::CopyCause;
      const auto& kept = core.kept_copies();
      ASSERT_EQ(kept.size(), core.full_copies());
      if (frame < 2) {
        EXPECT_EQ(kept.back().cause, Cause::kNewMemory);
        continue;
      }
      // Two frames of 30000 fit the log; of 40000 they do not. A buffer
      // drawn directly never falls behind.
      const bool copied = hold == 2 && frame >= 5;
      EXPECT_EQ(sink.Pixels(next)[marked], copied ? 0u : kMark) << "frame " << frame;
      ASSERT_EQ(core.full_copies(), copies + (copied ? 1 : 0)) << "frame " << frame;
      if (copied) {
        EXPECT_EQ(kept.back().cause, Cause::kLogBehind);
        EXPECT_GE(kept.back().at, kept[kept.size() - 2].at);
      }
    }
    // A new scale leaves the logged plots where they were: a copy whatever
    // the log holds.
    core.SetScale(2.0);
    sink.Wake();
    core.Reclaim(sink);
    const std::uint64_t copies = core.full_copies();
    core.Present(sink);
    ASSERT_EQ(core.full_copies(), copies + 1);
    EXPECT_EQ(core.kept_copies().back().cause, RuntimeCore::CopyCause::kCanvasChanged);
  }
}

}  // namespace
}  // namespace glimmer
