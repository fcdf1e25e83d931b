#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "app/event_loop.h"
#include "tests/support/fake_runtime.h"

namespace glimmer {
namespace {

using testing::FakeRuntime;
constexpr Nanos kMs = kMillisecond;

TEST(EventLoop, StartsUpInOrderAndShowsTheBallOnBlackFirst) {
  FakeRuntime rt;
  rt.CloseAt(1);
  RunStats stats;
  EXPECT_EQ(RunForm(rt, &stats), 0);
  EXPECT_EQ(rt.balls_created, 1);
  EXPECT_EQ(rt.ball_width, 495.0f);
  EXPECT_EQ(rt.reseeds, 1);
  EXPECT_EQ(rt.shows, 1);
  ASSERT_EQ(rt.frame_log.size(), 1u);
  EXPECT_EQ(rt.frame_log[0].plots, 0u);
  EXPECT_EQ(rt.frame_log[0].ball_left, 0.0f);
  ASSERT_EQ(stats.timers.size(), 4u);
  EXPECT_EQ(stats.timers[0].name, "tmrAB");
  EXPECT_EQ(stats.timers[1].name, "tmrRandMove");
  EXPECT_EQ(stats.timers[2].name, "tmrBallmove");
  EXPECT_EQ(stats.timers[3].name, "tmrDrawDots");
  for (const auto& t : stats.timers)
    EXPECT_EQ(t.delivered, 0u) << t.name;
}

TEST(EventLoop, DeliversEveryTimerAtItsRateOnceAFrame) {
  FakeRuntime rt;
  rt.record_plots = false;
  rt.CloseAt(2'010 * kMs);
  RunStats stats;
  EXPECT_EQ(RunForm(rt, &stats), 0);
  // Frames at 0, 16.7, ... 2000.00004 ms; ticks ran only at those, and the
  // loop woke for nothing else.
  EXPECT_EQ(stats.frames, 121u);
  EXPECT_LE(rt.waits, 122);
  EXPECT_EQ(stats.timers[0].delivered, 200u);
  EXPECT_EQ(stats.timers[1].delivered, 2000u);
  EXPECT_EQ(stats.timers[2].delivered, 2000u);
  EXPECT_EQ(stats.timers[3].delivered, 2000u);
  EXPECT_EQ(rt.unrecorded_plots, 403u * 2000u);
  EXPECT_EQ(rt.random_draws, 2015u * 2000u);
}

TEST(EventLoop, BallPositionIsTheSumOfTheDeliveredStepsInDueOrder) {
  FakeRuntime rt;
  rt.record_plots = false;
  rt.width = 1e9f;  // keep the edge wrap out of it
  rt.height = 1e9f;
  rt.CloseAt(500 * kMs + 1);
  EXPECT_EQ(RunForm(rt), 0);
  // The last frame before the close ran at 483.3 ms: ticks up to 483 ms.
  // Replay them: every millisecond one ball step, and every tenth the phase
  // clock first, since it was created first.
  float replay = 0.0f;
  double phase = 0.0;
  for (int ms = 1; ms <= 483; ++ms) {
    if (ms % 10 == 0) phase += 1.0;
    replay = static_cast<float>((static_cast<double>(replay) + std::sin(phase)) + phase);
  }
  EXPECT_EQ(rt.ball_left, replay);
  EXPECT_EQ(rt.ball_top, replay);
  // About 50 000 t^2 twips at t = 0.483 s.
  EXPECT_NEAR(rt.ball_left, 50'000.0 * 0.483 * 0.483, 700.0);
}

TEST(EventLoop, NoTickRunsOnceTheCloseIsSeen) {
  FakeRuntime rt;
  rt.record_plots = false;
  rt.CloseAt(100 * kMs);
  RunStats stats;
  EXPECT_EQ(RunForm(rt, &stats), 0);
  const auto drawn = rt.unrecorded_plots;
  EXPECT_EQ(stats.timers[3].delivered * 403u, drawn);
  EXPECT_LE(stats.timers[3].delivered, 100u);
  EXPECT_TRUE(rt.errors.empty());
}

TEST(EventLoop, ACloseDuringABurstLetsTheBurstFinishAndStopsThere) {
  FakeRuntime rt;
  rt.record_plots = false;
  // The close arrives while the 5th point of a tick is being plotted.
  rt.on_size_read = [](FakeRuntime& f) {
    if (f.size_reads == 403 * 2 * 3 + 8) f.close_requested = true;
  };
  RunStats stats;
  rt.CloseAt(10'000 * kMs);
  EXPECT_EQ(RunForm(rt, &stats), 0);
  EXPECT_EQ(rt.unrecorded_plots, 403u * 4u);
  EXPECT_EQ(stats.timers[3].delivered, 4u);
}

TEST(EventLoop, ARunTimeErrorIsReportedAndEndsTheProgramWithStatusOne) {
  FakeRuntime rt;
  rt.fail_plot_at = 1000;
  rt.CloseAt(10'000 * kMs);
  RunStats stats;
  EXPECT_EQ(RunForm(rt, &stats), 1);
  ASSERT_EQ(rt.errors.size(), 1u);
  EXPECT_NE(rt.errors[0].find("plot"), std::string::npos);
  EXPECT_EQ(rt.plots.size(), 1000u);
  // The failing tick was the third spray tick, and nothing ran after it.
  EXPECT_EQ(stats.timers[3].delivered, 3u);
  EXPECT_EQ(stats.timers[2].delivered, 3u);
}

TEST(EventLoop, AFailedBallAccessEndsTheProgram) {
  FakeRuntime rt;
  rt.record_plots = false;
  rt.At(50 * kMs, [](FakeRuntime& f) { f.fail_ball_access = true; });
  rt.CloseAt(10'000 * kMs);
  RunStats stats;
  EXPECT_EQ(RunForm(rt, &stats), 1);
  ASSERT_EQ(rt.errors.size(), 1u);
  EXPECT_NE(rt.errors[0].find("ball"), std::string::npos);
  // The fault came in before the frame at 50 ms, whose batch starts at the
  // 34 ms tick; the edge wrap, created before the ball drift, hit it first.
  EXPECT_EQ(stats.timers[1].delivered, 34u);
  EXPECT_EQ(stats.timers[2].delivered, 33u);
  EXPECT_EQ(stats.timers[3].delivered, 33u);
}

TEST(EventLoopDeathTest, ARunTimeErrorPrintsOneLineAndExitsWithStatusOne) {
  auto run = [](auto setup) {
    FakeRuntime rt;
    rt.record_plots = false;
    rt.CloseAt(10'000 * kMs);
    std::exit(RunForm<FakeRuntime>(rt, nullptr, setup));
  };
  // Phases so large that the ball's step no longer fits a Single.
  EXPECT_EXIT(run([](frmRand<FakeRuntime>& form) { form.dblA = form.dblB = 1e300; }),
              ::testing::ExitedWithCode(1),
              "^glimmerfeld: Run-time error: floating-point fault in the ball's step\n$");
}

}  // namespace
}  // namespace glimmer
