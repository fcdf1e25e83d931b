// Timers in virtual time. Each timer keeps its own grid of due times (next due
// = previous due + interval), so over any stretch in which the machine keeps
// up it delivers exactly its requested rate, however seldom the event loop
// wakes. The service reads no clock: the caller passes the time in, and
// decides how much lateness to make up.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "runtime/core/types.h"

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

  // Gives up every tick more than `max_lag` overdue at `now`, skipping whole
  // intervals so that each timer stays on its own grid.
  void DropOverdue(Nanos now, Nanos max_lag) {
    for (auto& t : timers_) {
      const Nanos late = now - t->next_due;
      if (late <= max_lag) continue;
      const Nanos skip = (late - max_lag + t->interval - 1) / t->interval;
      t->next_due += skip * t->interval;
      t->dropped += static_cast<std::uint64_t>(skip);
    }
  }

  // Runs every tick due at or before `now`, earliest first. `stop` is asked
  // after each tick; once it says yes no further tick runs. A handler's
  // exception propagates and leaves the remaining ticks undelivered.
  template <class Stop>
  std::size_t RunDue(Nanos now, Stop&& stop) {
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

  Nanos NextDue() const {
    Nanos best = INT64_MAX;
    for (const auto& t : timers_)
      best = t->next_due < best ? t->next_due : best;
    return best;
  }

  // How long the earliest undelivered tick has been due at `now`; 0 if none is.
  Nanos Overdue(Nanos now) const {
    const Nanos late = now - NextDue();
    return late > 0 ? late : 0;
  }

  const std::vector<std::unique_ptr<Timer>>& timers() const { return timers_; }

 private:
  std::vector<std::unique_ptr<Timer>> timers_;
};

}  // namespace glimmer
