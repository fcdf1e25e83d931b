// Start-up and the event loop, generic over the runtime so that tests can run
// the whole program on a scripted runtime and a fake clock.
//
// The loop wakes once per display frame (when the window system asks for one
// where it does, or for a window event), runs every timer tick that has
// fallen due since, in order, and then presents. Ticks are
// thus delivered at their full rates without a wake-up per millisecond. One
// wake-up's work is FieldLoop::Step, so a runtime that is called back for
// each frame can drive it as well as the blocking loop in RunField.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/field_window.h"
#include "app/timers.h"
#include "runtime/core/runtime_core.h"
#include "runtime/core/services.h"

namespace glimmer {

template <class P>
concept LoopRuntime = Services<P> && requires(P& p, const std::string& s, Nanos t) {
  { p.Now() } -> std::same_as<Nanos>;
  { p.FramePeriod() } -> std::same_as<Nanos>;
  p.Show();
  p.Present();
  // Waits until `t` or until window events arrive, and handles them.
  p.WaitUntil(t);
  // Handles the window events already waiting, without blocking.
  p.PollEvents();
  { p.CloseRequested() } -> std::same_as<bool>;
  // Whether anybody can see a frame: not while minimised or hidden.
  { p.Visible() } -> std::same_as<bool>;
  // Shows a run-time error to the user, e.g. in a message box.
  p.ShowError(s);
};

// A runtime whose frames the window system asks for (Wayland's frame
// callbacks): PacesFrames() while it does, FrameAsked() once it has asked for
// the next frame, and its wait returns when it asks.
template <class P>
concept PacedRuntime = requires(const P& p) {
  { p.PacesFrames() } -> std::same_as<bool>;
  { p.FrameAsked() } -> std::same_as<bool>;
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
  std::string present;        // how frames reached the screen, where the runtime says
  bool idle_allowed = false;  // the session could go idle while it ran, where the runtime says
  // The window's outer size the handlers read last, in twips, where the
  // runtime says.
  Single outer_width = 0;
  Single outer_height = 0;
  // Frames drawn by copying the whole canvas (the first of them with when and
  // why), and points written into a buffer from the log of plots, where the
  // runtime says.
  std::uint64_t full_copies = 0;
  std::vector<RuntimeCore::FullCopy> kept_copies;
  std::uint64_t replayed_points = 0;
  // The desktop's layers: how many fields (one an output) the figures add up.
  std::uint64_t fields = 0;
};

// How much of a late wake-up is made up. Ticks are made up to a cap and the
// rest dropped:
// - lateness built while the window was seen (a stall under SIGSTOP, a
//   suspended machine or a debugger, or ticks that take longer than real time
//   for a while), a few frames' worth at most, however long it lasted, so that
//   no burst of points shows when the machine catches up;
// - lateness built while it was hidden, when the loop wakes seldom, about
//   10 s' worth, which is enough to fill the field.
// Lateness left over by the budget of one wake-up is carried to the next ones;
// what was built while hidden is made up first and keeps the hidden cap.
struct LagRule {
  static constexpr int kSeenFrames = 3;
  static constexpr Nanos kHiddenCap = 10'000 * kMillisecond;
  // No wake-up spends longer than this making up; the rest is spread over
  // the next frames.
  static constexpr Nanos kBudget = 50 * kMillisecond;
  // How often window events are looked for for while ticks are being run.
  static constexpr Nanos kEventCheck = kMillisecond;
};

// While nobody sees the window the loop presents nothing and wakes this often.
inline constexpr Nanos kHiddenWakePeriod = 100 * kMillisecond;

template <LoopRuntime R>
class FieldLoop {
 public:
  explicit FieldLoop(R& runtime, RunStats* stats = nullptr) : runtime_(runtime), stats_(stats) {}

  bool Closed() const { return runtime_.CloseRequested(); }

  // Loads the window, lets `loaded` (tests) see it in its loaded state, shows
  // it and starts the timers. Throws RunTimeError.
  void Start(const std::function<void(FieldWindow<R>&)>& loaded = {}) {
    field_.Load();
    if (loaded) loaded(field_);
    runtime_.Show();
    period_ = runtime_.FramePeriod();
    seen_ = runtime_.Visible();
    // The first frame the user sees is the ball on black. Where the window is
    // seen at once it goes out before the timers start, however long the
    // start-up took; where it is not (a window manager maps it a little
    // later, a tab is hidden), the first step that finds it seen sends it.
    if (seen_) Present();
    first_frame_sent_ = seen_;
    const Nanos start = runtime_.Now();
    if (stats_ != nullptr) stats_->shown_at = start;
    field_.timers.Start(start);
    next_frame_ = seen_ ? start + period_ : start;
    last_run_ = start;
  }

  // One wake-up's work: the ticks due by now, under the lag rule, stopping as
  // soon as a close is waiting; then a frame, if one is due and the window is
  // seen. Returns when to wake next. Throws RunTimeError from a handler.
  Nanos Step() {
    const Nanos now = runtime_.Now();
    const bool seen = runtime_.Visible();
    if (!first_frame_sent_) return StepBeforeTheFirstFrame(now, seen);
    // A window seen again gets its frame at once.
    if (seen && !seen_) next_frame_ = now;
    // Where the window system asks for frames, one goes when it asks; the
    // program's own grid only keeps the ticks going should it not ask.
    const bool paced = seen && Paced();
    const bool frame_due = now >= next_frame_ || (paced && Asked());
    if (frame_due) {
      RunTicks(now, seen);
      seen_ = seen;
      if (Closed()) return now;
    }
    if (frame_due) {
      PollEvents();
      if (Closed()) return now;
      // Where frames are asked for, one not asked for would not be shown.
      if (seen && (!paced || Asked())) Present();
      if (paced) {
        // Two frames on, well within the lag rule's three, so that a frame
        // asked for a little late is not preceded by a wake-up for nothing.
        next_frame_ = now + 2 * period_;
      } else {
        // Stay on the frame grid; after a stall, restart it rather than
        // presenting a burst of frames.
        const Nanos period = seen ? period_ : kHiddenWakePeriod;
        next_frame_ += period;
        if (next_frame_ <= now) next_frame_ = now + period;
      }
    }
    return next_frame_;
  }

  // One wake-up's work from inside a loop that the window system runs itself
  // and in which the program's own event pump does not return (Windows'
  // modal loop while the title bar is held, the window is sized by its border
  // or its system menu is open). The loop keeps the events to itself, so this
  // step leaves them alone. It may come while a Step is looking at events
  // between ticks; that Step then finds its ticks run and goes on harmlessly,
  // since each timer keeps its own grid. A run-time error is kept for
  // RethrowModalError.
  void ModalStep() {
    if (in_modal_step_ || modal_error_ || Closed()) return;
    in_modal_step_ = true;
    try {
      Step();
    } catch (const RunTimeError&) {
      modal_error_ = std::current_exception();
    }
    in_modal_step_ = false;
  }
  void RethrowModalError() {
    if (modal_error_) std::rethrow_exception(std::exchange(modal_error_, nullptr));
  }

  // Fills `stats` with what the run delivered.
  void Collect() {
    if (stats_ == nullptr) return;
    stats_->timers.clear();
    for (const auto& t : field_.timers.timers())
      stats_->timers.push_back({t->name, t->delivered, t->dropped});
    stats_->ended_at = runtime_.Now();
  }

 private:
  void Present() {
    runtime_.Present();
    if (stats_ != nullptr && stats_->frames++ == 0) stats_->first_frame_at = runtime_.Now();
  }

  bool Paced() const {
    if constexpr (PacedRuntime<R>) {
      return runtime_.PacesFrames();
    } else {
      return false;
    }
  }
  bool Asked() const {
    if constexpr (PacedRuntime<R>) {
      return runtime_.FrameAsked();
    } else {
      return false;
    }
  }

  // Looks at window events, except from inside the window system's own loop.
  void PollEvents() {
    if (!in_modal_step_) runtime_.PollEvents();
  }

  // Until the first frame is out, the timers keep time but their ticks wait,
  // so that none of them shows in it. Once the window is seen, the ball on
  // black goes out, and the ticks due since the start are made up after it
  // as lateness built while hidden, under the same caps.
  Nanos StepBeforeTheFirstFrame(Nanos now, bool seen) {
    if (!seen) {
      next_frame_ = now + kHiddenWakePeriod;
      return next_frame_;
    }
    // seen_ is still false from the start: the wait counts as hidden.
    Present();
    first_frame_sent_ = true;
    // Its own full frame: a present can block for a while (a window manager
    // holding the server as it frames the window), and the next must not
    // follow it at once.
    next_frame_ = runtime_.Now() + period_;
    RunTicks(now, seen);
    seen_ = seen;
    return Closed() ? now : next_frame_;
  }

  void RunTicks(Nanos now, bool seen) {
    const bool seen_throughout = seen && seen_;
    const Nanos late = now - last_run_;
    const Nanos allowed = std::min(
        seen_throughout
            ? hidden_backlog_ + std::min(seen_backlog_ + late, LagRule::kSeenFrames * period_)
            : hidden_backlog_ + seen_backlog_ + late,
        LagRule::kHiddenCap);
    field_.timers.DropOverdue(now, allowed);
    const Nanos due = field_.timers.Overdue(now);
    const Nanos give_up_at = now + LagRule::kBudget;
    Nanos checked = now;
    field_.timers.RunDue(now, [&] {
      // A close made while ticks run takes effect after the running handler.
      const Nanos t = runtime_.Now();
      if (t - checked >= LagRule::kEventCheck) {
        PollEvents();
        checked = t;
      }
      return runtime_.CloseRequested() || t >= give_up_at;
    });
    last_run_ = now;
    const Nanos left = field_.timers.Overdue(now);
    // Whatever is left over of a hidden spell is the oldest and is made up first.
    hidden_backlog_ =
        seen_throughout ? std::clamp(hidden_backlog_ - (due - left), Nanos{0}, left) : left;
    seen_backlog_ = left - hidden_backlog_;
  }

  R& runtime_;
  RunStats* stats_;
  FieldWindow<R> field_{runtime_};
  Nanos period_ = 0;
  Nanos next_frame_ = 0;
  Nanos last_run_ = 0;
  // Lateness carried over from earlier wake-ups, by when it was built.
  Nanos hidden_backlog_ = 0;
  Nanos seen_backlog_ = 0;
  bool seen_ = true;
  bool first_frame_sent_ = false;
  bool in_modal_step_ = false;
  std::exception_ptr modal_error_;
};

// A runtime whose window system can hold the thread in a loop of its own
// (SdlRuntime::SetModalStep).
template <class P>
concept HasModalLoops = requires(P& p, std::function<void()> step) {
  p.SetModalStep(step);
};

// Hands the runtime the loop's ModalStep for as long as it lives.
template <LoopRuntime R>
class ModalStepsWhileRunning {
 public:
  ModalStepsWhileRunning(R& runtime, FieldLoop<R>& loop) : runtime_(runtime) {
    if constexpr (HasModalLoops<R>) runtime_.SetModalStep([&loop] { loop.ModalStep(); });
  }
  ~ModalStepsWhileRunning() {
    if constexpr (HasModalLoops<R>) runtime_.SetModalStep({});
  }
  ModalStepsWhileRunning(const ModalStepsWhileRunning&) = delete;
  ModalStepsWhileRunning& operator=(const ModalStepsWhileRunning&) = delete;

 private:
  R& runtime_;
};

// Prints an error that ends the program as one line on stderr.
inline void PrintError(const std::string& message) {
  std::fprintf(stderr, "glimmerfeld: %s\n", message.c_str());
  std::fflush(stderr);
}

// Prints a run-time error as one line on stderr and shows it to the user.
template <LoopRuntime R>
void ReportRunTimeError(R& runtime, const RunTimeError& e) {
  PrintError(e.Message());
  runtime.ShowError(e.Message());
}

// Runs the program on an opened (not yet shown) window until it is closed.
// Returns the exit status: 0 after a close, 1 after a run-time error.
// `loaded`, if given, sees the window right after its load event; tests use
// it to start from a chosen state.
template <LoopRuntime R>
int RunField(R& runtime, RunStats* stats = nullptr,
             const std::function<void(FieldWindow<R>&)>& loaded = {}) {
  FieldLoop<R> loop(runtime, stats);
  // Where the window system can hold the thread in a loop of its own, the
  // animation goes on from there.
  ModalStepsWhileRunning<R> modal_steps(runtime, loop);
  try {
    loop.Start(loaded);
    while (!loop.Closed()) {
      const Nanos wake_at = loop.Step();
      loop.RethrowModalError();
      if (loop.Closed()) break;
      runtime.WaitUntil(wake_at);
      loop.RethrowModalError();
    }
  } catch (const RunTimeError& e) {
    loop.Collect();
    ReportRunTimeError(runtime, e);
    return 1;
  }
  loop.Collect();
  return 0;
}

}  // namespace glimmer
