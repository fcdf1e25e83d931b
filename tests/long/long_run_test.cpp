// One simulated hour of the whole program on the fake clock: all four
// timers, the dot spray plotting every point into a real canvas.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <vector>

#include "app/event_loop.h"
#include "runtime/canvas.h"
#include "tests/support/fake_runtime.h"

namespace glimmer {
namespace {

using testing::FakeRuntime;
constexpr Nanos kMs = kMillisecond;

// Resident memory of this process, in KiB.
long ResidentKib() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

TEST(LongRun, AnHourOfTheWholeProgramRunsWithoutAFaultInFlatMemory) {
  Canvas canvas;
  canvas.SetVisibleSize(992, 741);
  FakeRuntime rt;
  rt.record_plots = false;
  rt.record_ball_writes = false;
  rt.record_frames = false;
  rt.canvas = &canvas;
  std::vector<long> resident;  // at the end of each simulated minute
  for (Nanos minute = 1; minute <= 60; ++minute)
    rt.At(minute * 60'000 * kMs + 1, [&](FakeRuntime&) { resident.push_back(ResidentKib()); });
  rt.CloseAt(3'600'000 * kMs + 2);
  std::size_t writes = 0, non_finite = 0, wraps = 0;
  rt.on_ball_write = [&](FakeRuntime&, char, Single v) {
    ++writes;
    if (!std::isfinite(v)) ++non_finite;
    if (v == -495.0f) ++wraps;
  };
  RunStats stats;
  EXPECT_EQ(RunForm(rt, &stats), 0);
  EXPECT_TRUE(rt.errors.empty());

  // Every tick up to the last frame before the close was delivered.
  ASSERT_EQ(stats.timers.size(), 4u);
  const std::uint64_t ticks = stats.timers[3].delivered;
  EXPECT_GE(ticks, 3'599'980u);
  for (const auto& t : stats.timers)
    EXPECT_EQ(t.dropped, 0u) << t.name;
  EXPECT_EQ(rt.unrecorded_plots, 403u * ticks);
  EXPECT_EQ(non_finite, 0u);
  EXPECT_GT(wraps, ticks);  // by now the ball is wrapped on both axes nearly every tick
  EXPECT_TRUE(std::isfinite(rt.ball_left) && std::isfinite(rt.ball_top));
  // 1.45 billion points over the window leave no pixel black.
  EXPECT_EQ(canvas.LitCount(), 992u * 741u);

  // Memory is flat: what the first minute settled at holds for the hour.
  ASSERT_EQ(resident.size(), 60u);
  const long peak = *std::max_element(resident.begin(), resident.end());
  std::printf("resident: %ld KiB after a minute, %ld KiB at most, %ld KiB after the hour\n",
              resident.front(), peak, resident.back());
  EXPECT_LT(peak - resident.front(), 1024) << "grew by more than 1 MiB over the hour";
}

}  // namespace
}  // namespace glimmer
