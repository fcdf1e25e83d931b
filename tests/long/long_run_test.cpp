// Long runs: ten simulated minutes of the whole program on the fake clock,
// and the real program's memory over a stretch of real time.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "app/event_loop.h"
#include "runtime/core/canvas.h"
#include "tests/support/fake_runtime.h"
#include "tests/support/program_under_x.h"

namespace glimmer {
namespace {

using testing::FakeRuntime;
using testing::HoldsFor;
using testing::ResidentKib;
constexpr Nanos kMs = kMillisecond;

// All four timers, the dot spray plotting every point into a real canvas:
// by the end the ball wraps on both axes at nearly every tick and the
// phase is far from where any short test takes it.
TEST(LongRun, TenMinutesOfTheWholeProgramRunWithoutAFault) {
  Canvas canvas;
  canvas.SetVisibleSize(992, 741);
  FakeRuntime rt;
  rt.log.keep_plots = false;
  rt.log.keep_ball_writes = false;
  rt.log.keep_frames = false;
  rt.canvas = &canvas;
  rt.script.CloseAt(600'000 * kMs + 2);
  std::size_t non_finite = 0, wraps = 0;
  rt.script.on_ball_write = [&](FakeRuntime&, char, Single v) {
    if (!std::isfinite(v)) ++non_finite;
    if (v == -495.0f) ++wraps;
  };
  RunStats stats;
  EXPECT_EQ(RunField(rt, &stats), 0);
  EXPECT_TRUE(rt.log.errors.empty());

  // Every tick up to the last frame before the close was delivered.
  ASSERT_EQ(stats.timers.size(), 4u);
  const std::uint64_t ticks = stats.timers[3].delivered;
  EXPECT_GE(ticks, 599'980u);
  for (const auto& t : stats.timers)
    EXPECT_EQ(t.dropped, 0u) << t.name;
  EXPECT_EQ(rt.log.unrecorded_plots, 403u * ticks);
  EXPECT_EQ(non_finite, 0u);
  EXPECT_GT(wraps, ticks);  // by now the ball is wrapped on both axes nearly every tick
  EXPECT_TRUE(std::isfinite(rt.ball_left) && std::isfinite(rt.ball_top));
  // 242 million points over the window leave no pixel black.
  std::vector<std::uint32_t> shown(992u * 741u);
  canvas.CopyVisibleTo(shown.data(), 992);
  EXPECT_EQ(std::count(shown.begin(), shown.end(), 0u), 0);
}

// The real program in a private Xvfb, its resident memory read from outside
// once a second: after start-up (the canvas, SDL's and Xlib's buffers) it
// must stay where it settled, whatever the spray and the frames do.
class RealProgram : public testing::ProgramUnderX {
 protected:
  void SetUp() override { StartServer(); }
};

TEST_F(RealProgram, ResidentMemoryStaysFlatOverTwentySeconds) {
  using namespace std::chrono_literals;
  const Window w = Launch(GLIMMERFELD_BINARY);
  ASSERT_NE(w, 0u);
  std::vector<long> resident;  // at 0, 1, ... 20 s
  const auto sample = [&] {
    resident.push_back(ResidentKib(program_->pid()));
    return program_->Running();
  };
  ASSERT_TRUE(HoldsFor(sample, 20s, 1s)) << program_->Stderr();
  probe_->RequestClose(w);
  EXPECT_EQ(program_->Wait(20s), std::optional<int>(0));
  // Settled by 3 s; the samples after that show any growth.
  ASSERT_GT(resident.size(), 4u);
  const long settled = resident[3];
  const long peak = *std::max_element(resident.begin() + 3, resident.end());
  std::printf("the program's VmRSS: %ld KiB at 3 s, at most %ld KiB, %ld KiB at 20 s\n", settled,
              peak, resident.back());
  EXPECT_GT(settled, 0);
  EXPECT_LT(peak - settled, 1024) << "grew by more than 1 MiB in 17 s";
}

}  // namespace
}  // namespace glimmer
