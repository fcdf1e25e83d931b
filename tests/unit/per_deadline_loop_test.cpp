// The loop that wakes at every deadline, kept for the benchmarks, must do the program's work, only
// with more wake-ups, or the comparison in docs/PERFORMANCE.md would mean nothing.
#include <gtest/gtest.h>

#include "app/event_loop.h"
#include "tests/support/fake_runtime.h"

namespace glimmer {
namespace {

using testing::FakeRuntime;
constexpr Nanos kMs = kMillisecond;

TEST(PerDeadlineLoop, DeliversWhatTheFrameLoopDeliversWithAWakeUpPerDeadline) {
  FakeRuntime frame_loop;
  FakeRuntime deadline_loop;
  // Closed just after the 121st frame (at 2000.00004 ms), so that both loops
  // have run every tick due up to then and no later one.
  const Nanos close_at = 120 * frame_loop.frame_period + 1;
  for (FakeRuntime* rt : {&frame_loop, &deadline_loop}) {
    rt->record_plots = false;
    rt->CloseAt(close_at);
  }
  RunStats by_frame;
  RunStats by_deadline;
  ASSERT_EQ(RunForm(frame_loop, &by_frame), 0);
  ASSERT_EQ(RunForm(deadline_loop, &by_deadline, {}, WakeUp::kPerDeadline), 0);

  ASSERT_EQ(by_deadline.timers.size(), by_frame.timers.size());
  for (std::size_t i = 0; i < by_frame.timers.size(); ++i) {
    EXPECT_EQ(by_deadline.timers[i].name, by_frame.timers[i].name);
    EXPECT_EQ(by_deadline.timers[i].delivered, by_frame.timers[i].delivered)
        << by_frame.timers[i].name;
  }
  EXPECT_EQ(by_frame.timers[3].delivered, 2'000u);
  EXPECT_EQ(by_deadline.frames, by_frame.frames);
  EXPECT_EQ(deadline_loop.random_draws, frame_loop.random_draws);
  EXPECT_EQ(deadline_loop.unrecorded_plots, frame_loop.unrecorded_plots);
  EXPECT_EQ(deadline_loop.ball_left, frame_loop.ball_left);
  EXPECT_EQ(deadline_loop.ball_top, frame_loop.ball_top);
  // One wake-up per millisecond deadline, against one per frame.
  EXPECT_LE(frame_loop.waits, 122);
  EXPECT_GE(deadline_loop.waits, 2'000);
  EXPECT_LE(deadline_loop.waits, 2'000 + 121 + 1);
}

TEST(PerDeadlineLoop, ReportsARunTimeErrorAndStops) {
  FakeRuntime rt;
  rt.record_plots = false;
  rt.fail_plot_at = 0;
  rt.CloseAt(1'000 * kMs);
  RunStats stats;
  EXPECT_EQ(RunForm(rt, &stats, {}, WakeUp::kPerDeadline), 1);
  EXPECT_EQ(stats.timers[3].delivered, 1u);
}

}  // namespace
}  // namespace glimmer
