// Long runs: ten simulated minutes of the whole program on the fake clock,
// the real program's memory over a stretch of real time, and a resident
// screensaver waiting for ten seconds.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/event_loop.h"
#include "runtime/core/canvas.h"
#include "tests/support/compositors.h"
#include "tests/support/conformance.h"
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

// A process's voluntary context switches, summed over its threads: each one
// a wake-up after a wait.
long WakeUps(pid_t pid) {
  long wake_ups = 0;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    std::ifstream status(task.path() / "status");
    std::string key;
    while (status >> key) {
      if (key == "voluntary_ctxt_switches:") {
        long n = 0;
        status >> n;
        wake_ups += n;
      }
      status.ignore(1 << 12, '\n');
    }
  }
  return wake_ups;
}

// The resident screensaver waiting for an idle time far off, under headless
// sway with two outputs, for 10 s. It blocks on the connection: a wait that
// polls, a wake-up a second or more, is a fault. What the wait costs is
// measured by scripts/measure-layers.
TEST(ResidentScreensaver, WaitingWakesItLessThanOnceASecond) {
  using namespace std::chrono_literals;
  const testing::Sway sway(2);
  const auto saver =
      sway.Launch(testing::ProgramUnderTest(GLIMMERFELD_BINARY), {"--screensaver-after", "3600"});
  // Connected and waiting by then.
  ASSERT_TRUE(HoldsFor([&] { return saver->Running(); }, 2s)) << saver->Stderr();
  const long before = WakeUps(saver->pid());
  const auto since = std::chrono::steady_clock::now();
  ASSERT_TRUE(HoldsFor([&] { return saver->Running(); }, 10s, 1s)) << saver->Stderr();
  const long woken = WakeUps(saver->pid()) - before;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
  const double wake_ups = static_cast<double>(woken) / seconds;
  std::printf("waiting %.1f s: %.3f wake-ups/s (%ld)\n", seconds, wake_ups, woken);
  EXPECT_LT(wake_ups, 1.0);
  testing::ExpectCleanEndOnSigterm(*saver);
}

}  // namespace
}  // namespace glimmer
