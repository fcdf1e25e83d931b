#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/timers.h"

namespace glimmer {
namespace {

constexpr Nanos kMs = kMillisecond;

struct Recorder {
  TimerService timers;
  std::vector<std::string> log;
  Timer& Add(const std::string& name, Nanos interval) {
    return timers.Add(name, interval, [this, name] { log.push_back(name); });
  }
  std::size_t Run(Nanos now) {
    return timers.RunDue(now, [] { return false; });
  }
  int Count(const std::string& name) const {
    return static_cast<int>(std::count(log.begin(), log.end(), name));
  }
};

TEST(Timers, DeliverExactlyTheirRatesHoweverSeldomTheLoopWakes) {
  for (Nanos wake : {kMs / 3, kMs, Nanos{16'666'667}, 100 * kMs, 249 * kMs}) {
    Recorder r;
    r.Add("ab", 10 * kMs);
    r.Add("fast", 1 * kMs);
    r.timers.Start(0);
    Nanos now = 0;
    while (now + wake <= 5'000 * kMs) {
      now += wake;
      r.Run(now);
    }
    r.Run(5'000 * kMs);
    EXPECT_EQ(r.Count("ab"), 500) << "waking every " << wake << " ns";
    EXPECT_EQ(r.Count("fast"), 5000) << "waking every " << wake << " ns";
  }
}

TEST(Timers, RunInDueOrderWithTiesInCreationOrder) {
  Recorder r;
  r.Add("A", 10 * kMs);
  r.Add("R", 1 * kMs);
  r.Add("B", 1 * kMs);
  r.Add("D", 1 * kMs);
  r.timers.Start(0);
  r.Run(10 * kMs);
  std::vector<std::string> expected;
  for (int ms = 1; ms <= 10; ++ms) {
    for (const char* n : {"R", "B", "D"})
      expected.push_back(n);
    if (ms == 10) expected.insert(expected.end() - 3, "A");
  }
  EXPECT_EQ(r.log, expected);
  EXPECT_EQ(r.timers.NextDue(), 11 * kMs);
}

TEST(Timers, NothingIsDueBeforeTheFirstInterval) {
  Recorder r;
  r.Add("A", 10 * kMs);
  r.timers.Start(5 * kMs);
  EXPECT_EQ(r.Run(14 * kMs), 0u);
  EXPECT_EQ(r.Run(15 * kMs), 1u);
}

TEST(Timers, StopEndsDeliveryAfterTheCurrentTick) {
  Recorder r;
  r.Add("fast", 1 * kMs);
  r.timers.Start(0);
  int calls = 0;
  const std::size_t ran = r.timers.RunDue(100 * kMs, [&] { return ++calls == 3; });
  EXPECT_EQ(ran, 3u);
  EXPECT_EQ(r.log.size(), 3u);
}

TEST(Timers, AHandlerFaultLeavesLaterTicksUndelivered) {
  TimerService timers;
  int ran = 0;
  timers.Add("bad", 1 * kMs, [&] {
    if (++ran == 2) throw 42;
  });
  timers.Start(0);
  EXPECT_THROW(timers.RunDue(10 * kMs, [] { return false; }), int);
  EXPECT_EQ(ran, 2);
}

TEST(Timers, DropTicksBeyondTheLagCapInsteadOfBursting) {
  Recorder r;
  Timer& fast = r.Add("fast", 1 * kMs);
  Timer& slow = r.Add("slow", 10 * kMs);
  r.timers.Start(0);
  r.Run(100 * kMs);
  r.log.clear();
  // A ten-second stall, e.g. SIGSTOP, made up to 250 ms.
  EXPECT_EQ(r.timers.Overdue(10'100 * kMs), 9'999 * kMs);
  r.timers.DropOverdue(10'100 * kMs, 250 * kMs);
  EXPECT_EQ(r.timers.Overdue(10'100 * kMs), 250 * kMs);
  r.Run(10'100 * kMs);
  // What is left is the last 250 ms, both ends included.
  EXPECT_EQ(r.Count("fast"), 251);
  EXPECT_EQ(r.Count("slow"), 26);
  EXPECT_EQ(fast.dropped, 9749u);
  EXPECT_EQ(slow.dropped, 974u);
  // Still on their grids afterwards.
  EXPECT_EQ(fast.next_due, 10'101 * kMs);
  EXPECT_EQ(slow.next_due, 10'110 * kMs);
  // A short stall under the cap is made up in full.
  r.log.clear();
  r.timers.DropOverdue(10'300 * kMs, 250 * kMs);
  r.Run(10'300 * kMs);
  EXPECT_EQ(r.Count("fast"), 200);
  EXPECT_EQ(fast.dropped, 9749u);
}

}  // namespace
}  // namespace glimmer
