// A scripted stand-in for the SDL runtime, in parts that do one job each:
// the window it plays (a fixed random sequence, a settable size, the ball),
// the fake clock, the script of what happens when, the log of what the
// program did, and the faults to inject.
#pragma once

#include <algorithm>
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

class FakeRuntime;

// Simulated time: where it stands, how far each plot moves it, and the
// display's frame period.
struct FakeClock {
  Nanos now = 0;
  Nanos plot_cost = 0;
  Nanos frame_period = 16'666'667;
};

// What happens when: events at simulated times (added in order), delivered
// as a poll or a wait of the window system would, and hooks run at each
// plot (before it is logged), size read (before it), ball write (after it)
// and frame (after it).
struct FakeScript {
  using Action = std::function<void(FakeRuntime&)>;
  void At(Nanos at, Action action) { events.emplace_back(at, std::move(action)); }
  void CloseAt(Nanos at);
  // Windows' modal loop, from the moment the window system sees the user take
  // the title bar at `from` until they let go at `until`: the thread is held
  // there, and only the modal step runs, called by a timer every `every`.
  void HoldInModalLoopAt(Nanos from, Nanos until, Nanos every);
  // Takes out the first event if it is due by `by`.
  std::optional<std::pair<Nanos, Action>> TakeDue(Nanos by) {
    if (events.empty() || events.front().first > by) return std::nullopt;
    auto due = std::move(events.front());
    events.erase(events.begin());
    return due;
  }

  std::vector<std::pair<Nanos, Action>> events;
  std::function<void(FakeRuntime&, Single, Single)> on_plot;
  Action on_size_read;
  std::function<void(FakeRuntime&, char, Single)> on_ball_write;
  Action on_present;
};

// What the program did, in full where `keep_*` says so, else counted.
struct FakeLog {
  struct Plot {
    Single x, y;
    Colour colour;
  };
  struct Frame {
    Nanos at;
    std::size_t plots;
    Single ball_left, ball_top;
  };
  // What had happened up to a moment of a test's choosing, such as a fault.
  struct Counts {
    std::size_t plots = 0, random_draws = 0, size_reads = 0, ball_writes = 0;
    int frames = 0;
  };
  std::size_t plotted() const { return plots.size() + unrecorded_plots; }
  Counts SoFar() const {
    return {plotted(), random_draws, size_reads, ball_writes.size(), presents};
  }
  void TakeSnapshot() { snapshot = SoFar(); }

  bool keep_plots = true, keep_ball_writes = true, keep_frames = true;
  std::vector<Plot> plots;
  std::size_t unrecorded_plots = 0;
  std::vector<std::pair<char, Single>> ball_writes;
  std::vector<Frame> frames;
  std::vector<std::string> errors;
  std::size_t random_draws = 0, size_reads = 0;
  int balls_created = 0, presents = 0, waits = 0, polls = 0;
  std::vector<std::string> order;  // "reseed" and "show", as they came
  int polls_in_modal_loop = 0;     // the nested pump Windows' modal loop must not see
  std::optional<Counts> snapshot;
};

// Failures to inject, the log taking its snapshot as each is thrown; at draw
// number `snapshot_at_draw` (from 0) only the snapshot is taken.
struct FakeFaults {
  std::optional<std::size_t> plot_at;  // counts recorded and unrecorded plots
  std::optional<std::size_t> size_read_at, snapshot_at_draw;
  bool ball_access = false;
};

class FakeRuntime {
 public:
  // --- Services ---
  Single NextRandom() {
    const std::size_t i = log.random_draws++;
    if (faults.snapshot_at_draw == i) log.TakeSnapshot();
    return i < randoms.size() ? randoms[i] : rng.NextSingle();
  }
  void Reseed() { log.order.push_back("reseed"); }
  Single WindowWidth() { return ReadSize(width, "the window's width"); }
  Single WindowHeight() { return ReadSize(height, "the window's height"); }
  void PlotPoint(Single x, Single y, Colour colour) {
    if (faults.plot_at == log.plotted()) Fail(RunTimeError::Kind::kPlot, "the window is gone");
    clock.now += clock.plot_cost;
    if (canvas != nullptr) canvas->Plot(x, y, colour);
    if (script.on_plot) script.on_plot(*this, x, y);
    if (log.keep_plots) {
      log.plots.push_back({x, y, colour});
    } else {
      ++log.unrecorded_plots;
    }
  }
  void CreateBall(Single l, Single t, Single w) {
    ball_left = l;
    ball_top = t;
    ball_width = w;
    ++log.balls_created;
  }
  Single BallLeft() { return BallRead(ball_left); }
  Single BallTop() { return BallRead(ball_top); }
  Single BallWidth() { return BallRead(ball_width); }
  void SetBallLeft(Single v) { BallWrite('L', ball_left = v); }
  void SetBallTop(Single v) { BallWrite('T', ball_top = v); }

  // --- LoopRuntime ---
  Nanos Now() const { return clock.now; }
  Nanos FramePeriod() const { return clock.frame_period; }
  void Show() { log.order.push_back("show"); }
  // Frames asked for by the window system, where `paced`.
  bool PacesFrames() const { return paced; }
  bool FrameAsked() const { return asked; }
  void Present() {
    asked = false;
    ++log.presents;
    if (log.keep_frames) log.frames.push_back({clock.now, log.plotted(), ball_left, ball_top});
    if (script.on_present) script.on_present(*this);
  }
  // Jumps to the deadline, or to the first scripted event before it.
  void WaitUntil(Nanos deadline) {
    ++log.waits;
    auto event = script.TakeDue(deadline);
    clock.now = std::max(clock.now, event ? event->first : deadline);
    if (event) event->second(*this);
  }
  void PollEvents() {
    ++log.polls;
    if (in_modal_loop) ++log.polls_in_modal_loop;
    while (auto event = script.TakeDue(clock.now))
      event->second(*this);
  }
  bool CloseRequested() const { return close_requested; }
  bool Visible() const { return visible; }
  void ShowError(const std::string& message) { log.errors.push_back(message); }
  void SetModalStep(std::function<void()> step) { modal_step = std::move(step); }

  FakeClock clock;
  FakeScript script;
  FakeLog log;
  FakeFaults faults;

  // --- The window ---
  std::vector<Single> randoms;  // drawn first, then `rng` takes over
  Pcg32 rng{42, 54};
  Single width = 15000.0f, height = 11520.0f;
  Canvas* canvas = nullptr;  // also plotted into, when set
  Single ball_left = 0, ball_top = 0, ball_width = 0;
  bool visible = true, close_requested = false, in_modal_loop = false;
  bool paced = false, asked = false;
  std::function<void()> modal_step;

 private:
  [[noreturn]] void Fail(RunTimeError::Kind kind, const char* what) {
    log.TakeSnapshot();
    throw RunTimeError(kind, what);
  }
  Single ReadSize(const Single& value, const char* what) {
    if (script.on_size_read) script.on_size_read(*this);
    if (faults.size_read_at == log.size_reads) Fail(RunTimeError::Kind::kPropertyAccess, what);
    ++log.size_reads;
    return value;
  }
  Single BallRead(Single value) const {
    if (faults.ball_access) throw RunTimeError(RunTimeError::Kind::kPropertyAccess, "the ball");
    return value;
  }
  void BallWrite(char axis, Single v) {
    if (log.keep_ball_writes) log.ball_writes.emplace_back(axis, v);
    if (script.on_ball_write) script.on_ball_write(*this, axis, v);
  }
};

inline void FakeScript::CloseAt(Nanos at) {
  At(at, [](FakeRuntime& f) { f.close_requested = true; });
}

inline void FakeScript::HoldInModalLoopAt(Nanos from, Nanos until, Nanos every) {
  At(from, [until, every](FakeRuntime& f) {
    f.in_modal_loop = true;
    while (f.clock.now < until) {
      f.clock.now += every;
      if (f.modal_step) f.modal_step();
    }
    f.in_modal_loop = false;
  });
}

}  // namespace glimmer::testing
