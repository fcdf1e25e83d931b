// Timers in virtual time. Each timer keeps its own grid of due times (next due
// = previous due + interval), so over any stretch in which the machine keeps
// up it delivers exactly its requested rate, however seldom the event loop
// wakes. The service reads no clock: the caller passes the time in.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "runtime/services.h"

namespace glimmer {

inline constexpr Nanos kMillisecond = 1'000'000;

struct Timer {
  std::string name;
  Nanos interval = 0;
  std::function<void()> handler;
  Nanos next_due = 0;
  std::uint64_t delivered = 0;
  std::uint64_t dropped = 0;  // ticks given up after a stall
};

class TimerService {
 public:
  // Ticks further overdue than this (a suspended machine, a debugger) are
  // dropped instead of being made up in one burst.
  static constexpr Nanos kLagCap = 250 * kMillisecond;

  // Adds a timer, enabled; ties in due time run in the order of adding.
  Timer& Add(std::string name, Nanos interval, std::function<void()> handler) {
    auto t = std::make_unique<Timer>();
    t->name = std::move(name);
    t->interval = interval > 0 ? interval : 1;
    t->handler = std::move(handler);
    timers_.push_back(std::move(t));
    return *timers_.back();
  }

  // Each timer's first tick falls due one interval after `now`.
  void Start(Nanos now) {
    for (auto& t : timers_)
      t->next_due = now + t->interval;
  }

  // Runs every tick due at or before `now`, earliest first. `stop` is asked
  // after each tick; once it says yes no further tick runs. A handler's
  // exception propagates and leaves the remaining ticks undelivered.
  template <class Stop>
  std::size_t RunDue(Nanos now, Stop&& stop) {
    for (auto& t : timers_)
      DropStale(*t, now);
    std::size_t ran = 0;
    for (;;) {
      Timer* next = nullptr;
      for (auto& t : timers_) {
        if (t->next_due <= now && (next == nullptr || t->next_due < next->next_due)) {
          next = t.get();
        }
      }
      if (next == nullptr) return ran;
      next->next_due += next->interval;
      ++next->delivered;
      ++ran;
      next->handler();
      if (stop()) return ran;
    }
  }
  std::size_t RunDue(Nanos now) {
    return RunDue(now, [] { return false; });
  }

  Nanos NextDue() const {
    Nanos best = INT64_MAX;
    for (const auto& t : timers_)
      best = t->next_due < best ? t->next_due : best;
    return best;
  }

  const std::vector<std::unique_ptr<Timer>>& timers() const { return timers_; }

 private:
  static void DropStale(Timer& t, Nanos now) {
    const Nanos late = now - t.next_due;
    if (late <= kLagCap) return;
    // Skip whole intervals, staying on the timer's own grid.
    const Nanos skip = (late - kLagCap + t.interval - 1) / t.interval;
    t.next_due += skip * t.interval;
    t.dropped += static_cast<std::uint64_t>(skip);
  }

  std::vector<std::unique_ptr<Timer>> timers_;
};

}  // namespace glimmer
