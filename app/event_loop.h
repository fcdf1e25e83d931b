// Start-up and the event loop, generic over the platform so that tests can run
// the whole program on a scripted platform and a fake clock.
//
// The loop wakes once per display frame (or for a window event), runs every
// timer tick that has fallen due since, in order, and then presents. Ticks are
// thus delivered at their full rates without a wake-up per millisecond.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "app/frm_rand.h"
#include "app/timers.h"
#include "runtime/services.h"

namespace glimmer {

template <class P>
concept Platform = Services<P> && requires(P& p, const std::string& s, Nanos t) {
  { p.Now() } -> std::same_as<Nanos>;
  { p.FramePeriod() } -> std::same_as<Nanos>;
  p.Show();
  p.Present();
  // Waits until `t` or until window events arrive, and handles them.
  p.WaitUntil(t);
  { p.CloseRequested() } -> std::same_as<bool>;
  // Shows a run-time error to the user, e.g. in a message box.
  p.ShowError(s);
};

// What a run delivered, for measurements.
struct RunStats {
  struct TimerCount {
    std::string name;
    std::uint64_t delivered = 0;
    std::uint64_t dropped = 0;
  };
  std::vector<TimerCount> timers;
  std::uint64_t frames = 0;
  Nanos shown_at = 0;
  Nanos first_frame_at = 0;
  Nanos ended_at = 0;
  std::string present;  // how frames reached the screen, where the platform says
};

// Runs the program on an opened (not yet shown) window until it is closed.
// Returns the exit status: 0 after a close, 1 after a run-time error, which
// is first printed as one line on stderr and then shown to the user.
// `loaded`, if given, sees the window right after its load event; tests use
// it to start from a chosen state.
//
// `wake_up` chooses when the loop wakes: once a frame (the program), or at
// every timer deadline, a design kept only to measure against.
enum class WakeUp { kPerFrame, kPerDeadline };

template <Platform P>
int RunForm(P& platform, RunStats* stats = nullptr,
            const std::function<void(frmRand<P>&)>& loaded = {},
            WakeUp wake_up = WakeUp::kPerFrame) {
  const bool per_deadline = wake_up == WakeUp::kPerDeadline;
  frmRand<P> form(platform);
  auto collect = [&] {
    if (stats == nullptr) return;
    stats->timers.clear();
    for (const auto& t : form.timers.timers()) {
      stats->timers.push_back({t->name, t->delivered, t->dropped});
    }
    stats->ended_at = platform.Now();
  };
  try {
    form.Form_Load();
    if (loaded) loaded(form);
    platform.Show();
    const Nanos period = platform.FramePeriod();
    const Nanos start = platform.Now();
    if (stats != nullptr) stats->shown_at = start;
    form.timers.Start(start);
    Nanos next_frame = start;  // the first frame shows the ball on black
    while (!platform.CloseRequested()) {
      const Nanos now = platform.Now();
      if (per_deadline || now >= next_frame) {
        form.timers.RunDue(now, [&] { return platform.CloseRequested(); });
        if (platform.CloseRequested()) break;
      }
      if (now >= next_frame) {
        platform.Present();
        if (stats != nullptr && stats->frames++ == 0) stats->first_frame_at = platform.Now();
        // Stay on the frame grid; after a stall, restart it rather than
        // presenting a burst of frames.
        next_frame += period;
        if (next_frame <= now) next_frame = now + period;
      }
      platform.WaitUntil(per_deadline ? std::min(form.timers.NextDue(), next_frame) : next_frame);
    }
  } catch (const RunTimeError& e) {
    collect();
    std::fprintf(stderr, "glimmerfeld: %s\n", e.Message().c_str());
    std::fflush(stderr);
    platform.ShowError(e.Message());
    return 1;
  }
  collect();
  return 0;
}

}  // namespace glimmer
