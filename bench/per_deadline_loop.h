// The event loop the program does not use, kept to measure against: it sleeps
// only until the next timer deadline, so with 1 ms timers it wakes about a
// thousand times a second. Ticks, frames and their order are otherwise those
// of RunForm.
#pragma once

#include <algorithm>
#include <cstdio>

#include "app/event_loop.h"
#include "app/frm_rand.h"

namespace glimmer::bench {

template <Platform P>
int RunFormWakingPerDeadline(P& platform, RunStats* stats = nullptr) {
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
    platform.Show();
    const Nanos period = platform.FramePeriod();
    const Nanos start = platform.Now();
    if (stats != nullptr) stats->shown_at = start;
    form.timers.Start(start);
    Nanos next_frame = start;
    while (!platform.CloseRequested()) {
      const Nanos now = platform.Now();
      form.timers.RunDue(now, [&] { return platform.CloseRequested(); });
      if (platform.CloseRequested()) break;
      if (now >= next_frame) {
        platform.Present();
        if (stats != nullptr && stats->frames++ == 0) stats->first_frame_at = platform.Now();
        next_frame += period;
        if (next_frame <= now) next_frame = now + period;
      }
      platform.WaitUntil(std::min(form.timers.NextDue(), next_frame));
    }
  } catch (const RunTimeError& e) {
    collect();
    std::fprintf(stderr, "glimmerfeld_bench: %s\n", e.Message().c_str());
    return 1;
  }
  collect();
  return 0;
}

}  // namespace glimmer::bench
