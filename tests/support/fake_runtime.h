// A scripted stand-in for the SDL runtime: a fixed random sequence, a settable
// window size, recorded plots, injectable faults and a fake clock.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "runtime/core/canvas.h"
#include "runtime/core/pcg32.h"
#include "runtime/core/services.h"

namespace glimmer::testing {

class FakeRuntime {
 public:
  struct Plot {
    Single x;
    Single y;
    Colour colour;
  };

  // --- Services ---
  Single NextRandom() {
    const std::size_t i = random_draws++;
    if (snapshot_at_draw && i == *snapshot_at_draw) TakeSnapshot();
    if (i < randoms.size()) return randoms[i];
    return rng.NextSingle();
  }
  void Reseed() { ++reseeds; }
  Single WindowWidth() { return ReadSize(width, "the window's width"); }
  Single WindowHeight() { return ReadSize(height, "the window's height"); }
  void PlotPoint(Single x, Single y, Colour colour) {
    if (fail_plot_at && plots.size() + unrecorded_plots == *fail_plot_at) {
      TakeSnapshot();
      throw RunTimeError(RunTimeError::Kind::kPlot, "the window is gone");
    }
    now += plot_cost;
    if (canvas != nullptr) canvas->Plot(x, y, colour);
    if (on_plot) on_plot(*this, x, y);
    if (record_plots) {
      plots.push_back({x, y, colour});
    } else {
      ++unrecorded_plots;
    }
  }
  void CreateBall(Single l, Single t, Single w) {
    ball_left = l;
    ball_top = t;
    ball_width = w;
    ++balls_created;
  }
  Single BallLeft() { return BallRead(ball_left); }
  Single BallTop() { return BallRead(ball_top); }
  Single BallWidth() { return BallRead(ball_width); }
  void SetBallLeft(Single v) {
    ball_left = v;
    if (record_ball_writes) ball_writes.emplace_back('L', v);
    if (on_ball_write) on_ball_write(*this, 'L', v);
  }
  void SetBallTop(Single v) {
    ball_top = v;
    if (record_ball_writes) ball_writes.emplace_back('T', v);
    if (on_ball_write) on_ball_write(*this, 'T', v);
  }

  // --- LoopRuntime ---
  Nanos Now() const { return now; }
  Nanos FramePeriod() const { return frame_period; }
  void Show() { ++shows; }
  void Present() {
    ++frames;
    if (record_frames)
      frame_log.push_back({now, plots.size() + unrecorded_plots, ball_left, ball_top});
    if (on_present) on_present(*this);
  }
  // Jumps to the deadline, or to the first scripted event before it.
  void WaitUntil(Nanos deadline) {
    ++waits;
    if (!events.empty() && events.front().first <= deadline) {
      now = events.front().first > now ? events.front().first : now;
      auto action = std::move(events.front().second);
      events.erase(events.begin());
      action(*this);
      return;
    }
    now = deadline > now ? deadline : now;
  }
  // Delivers the scripted events that have fallen due, as a poll of the
  // window system would.
  void PollEvents() {
    ++polls;
    if (in_modal_loop) ++polls_in_modal_loop;
    while (!events.empty() && events.front().first <= now) {
      auto action = std::move(events.front().second);
      events.erase(events.begin());
      action(*this);
    }
  }
  bool CloseRequested() const { return close_requested; }
  bool Visible() const { return visible; }
  void ShowError(const std::string& message) { errors.push_back(message); }

  // Scripts `action` at simulated time `at` (events must be added in order).
  void At(Nanos at, std::function<void(FakeRuntime&)> action) {
    events.emplace_back(at, std::move(action));
  }
  void CloseAt(Nanos at) {
    At(at, [](FakeRuntime& f) { f.close_requested = true; });
  }
  // Windows' modal loop, from the moment the window system sees the user take
  // the title bar at `from` until they let go at `until`: the thread is held
  // there, and only the modal step runs, called by a timer every `every`.
  void HoldInModalLoopAt(Nanos from, Nanos until, Nanos every) {
    At(from, [until, every](FakeRuntime& f) {
      f.in_modal_loop = true;
      while (f.now < until) {
        f.now += every;
        if (f.modal_step) f.modal_step();
      }
      f.in_modal_loop = false;
    });
  }
  void SetModalStep(std::function<void()> step) { modal_step = std::move(step); }

  // What had happened up to a moment of a test's choosing, such as a fault.
  struct Counts {
    std::size_t plots = 0;
    std::size_t random_draws = 0;
    std::size_t size_reads = 0;
    std::size_t ball_writes = 0;
    int frames = 0;
  };
  Counts CountsSoFar() const {
    return {plots.size() + unrecorded_plots, random_draws, size_reads, ball_writes.size(), frames};
  }
  void TakeSnapshot() { snapshot = CountsSoFar(); }
  // Taken when an injected fault is thrown, or when draw number
  // `snapshot_at_draw` (from 0) has been handed out.
  std::optional<Counts> snapshot;
  std::optional<std::size_t> snapshot_at_draw;

  // --- Script and record ---
  std::vector<Single> randoms;  // drawn first, then `rng` takes over
  Pcg32 rng{42, 54};
  std::size_t random_draws = 0;
  int reseeds = 0;

  Single width = 15000.0f;
  Single height = 11520.0f;
  std::size_t size_reads = 0;
  std::function<void(FakeRuntime&)> on_size_read;  // runs before each read
  std::optional<std::size_t> fail_size_read_at;

  bool record_plots = true;
  std::vector<Plot> plots;
  std::size_t unrecorded_plots = 0;
  std::optional<std::size_t> fail_plot_at;  // counts recorded and unrecorded plots
  Canvas* canvas = nullptr;                 // also plotted into, when set
  std::function<void(FakeRuntime&, Single, Single)> on_plot;  // before recording

  Single ball_left = 0, ball_top = 0, ball_width = 0;
  int balls_created = 0;
  bool fail_ball_access = false;
  bool record_ball_writes = true;
  std::vector<std::pair<char, Single>> ball_writes;
  std::function<void(FakeRuntime&, char, Single)> on_ball_write;  // after each write

  Nanos now = 0;
  Nanos plot_cost = 0;  // how far the clock moves during each plot
  Nanos frame_period = 16'666'667;
  bool visible = true;
  int polls = 0;
  std::function<void()> modal_step;
  bool in_modal_loop = false;
  int polls_in_modal_loop = 0;  // the nested pump Windows' modal loop must not see
  bool close_requested = false;
  int shows = 0;
  int frames = 0;
  int waits = 0;
  bool record_frames = true;
  std::function<void(FakeRuntime&)> on_present;  // after each frame
  struct Frame {
    Nanos at;
    std::size_t plots;
    Single ball_left;
    Single ball_top;
  };
  std::vector<Frame> frame_log;
  std::vector<std::pair<Nanos, std::function<void(FakeRuntime&)>>> events;
  std::vector<std::string> errors;

 private:
  Single ReadSize(const Single& value, const char* what) {
    if (on_size_read) on_size_read(*this);
    if (fail_size_read_at && size_reads == *fail_size_read_at) {
      TakeSnapshot();
      throw RunTimeError(RunTimeError::Kind::kPropertyAccess, what);
    }
    ++size_reads;
    return value;
  }
  Single BallRead(Single value) const {
    if (fail_ball_access) throw RunTimeError(RunTimeError::Kind::kPropertyAccess, "the ball");
    return value;
  }
};

}  // namespace glimmer::testing
