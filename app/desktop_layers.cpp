// The desktop's layers on Wayland: a field on every output, each with its
// own window state, timers and loop, all on one thread and one connection.
// The loop steps each field when it wants to wake or the compositor has
// asked for its next frame, then waits on the connection for the earliest
// of them or the next frame asked for; outputs that come get a field at
// once, and a field whose output goes is let go of, surface and buffers and
// all. A resident screensaver makes its fields when the seat has gone idle
// and lets go of them all at the first input.
#include "app/desktop_layers.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "app/event_loop.h"
#include "runtime/layer/layer_runtime.h"

namespace glimmer {
namespace {

struct Field {
  Field(LayerDisplay& display, wl_output* output) : runtime(display, output) {}
  LayerRuntime runtime;
  RunStats stats;
  FieldLoop<LayerRuntime> loop{runtime, &stats};
  Nanos wake_at = 0;
};

// Adds what a field delivered to the run's record: its frames and ticks to
// the other fields', its span to theirs.
void Tally(Field& field, RunStats& total) {
  field.loop.Collect();
  const RunStats& s = field.stats;
  if (total.fields++ == 0) {
    total.shown_at = s.shown_at;
    total.first_frame_at = s.first_frame_at;
    total.timers = s.timers;
  } else {
    total.shown_at = std::min(total.shown_at, s.shown_at);
    if (s.frames > 0 && (total.frames == 0 || s.first_frame_at < total.first_frame_at))
      total.first_frame_at = s.first_frame_at;
    for (std::size_t i = 0; i < std::min(total.timers.size(), s.timers.size()); ++i) {
      total.timers[i].delivered += s.timers[i].delivered;
      total.timers[i].dropped += s.timers[i].dropped;
    }
  }
  total.frames += s.frames;
  total.ended_at = std::max(total.ended_at, s.ended_at);
  total.full_copies += field.runtime.full_copies();
  // Each field's copies are in time order already: merged, all are.
  const auto& kept = field.runtime.kept_copies();
  const auto middle = static_cast<std::ptrdiff_t>(total.kept_copies.size());
  total.kept_copies.insert(total.kept_copies.end(), kept.begin(), kept.end());
  std::ranges::inplace_merge(total.kept_copies, total.kept_copies.begin() + middle, {},
                             &RuntimeCore::FullCopy::at);
  total.replayed_points += field.runtime.replayed_points();
}

// The fields there are. Each one let go of, and at the end each one left,
// goes into the run's record first (where one is kept).
struct Fields {
  explicit Fields(RunStats* s) : stats(s) {}
  ~Fields() {
    LetGoOf([](const Field&) { return true; });
  }
  Fields(const Fields&) = delete;
  Fields& operator=(const Fields&) = delete;
  template <class Done>
  void LetGoOf(const Done& done) {
    std::erase_if(list, [&](const std::unique_ptr<Field>& f) {
      if (!done(*f)) return false;
      if (stats != nullptr) Tally(*f, *stats);
      return true;
    });
  }
  std::vector<std::unique_ptr<Field>> list;
  RunStats* stats;
};

// How long the loop waits at most with no field due, e.g. with no output.
constexpr Nanos kIdleWait = 1'000'000'000;

// Nullopt where the compositor has no layer shell and SDL's window can
// stand in (the screensaver's). With `idle_seconds` the screensaver is
// resident: the fields come when the seat has been idle that long and go at
// the first input, again and again; between them only the connection is
// waited on, with no deadline.
std::optional<int> RunLayers(LayerRole role, std::optional<std::uint32_t> idle_seconds = {},
                             RunStats* stats = nullptr) {
  std::optional<LayerDisplay> display;
  Fields fields(stats);
  std::vector<wl_output*> outputs;
  const bool resident = idle_seconds.has_value();
  bool covered = !resident;
  try {
    display.emplace(role, resident                         ? "--screensaver-after"
                          : role == LayerRole::kBackground ? "--background"
                                                           : "--screensaver");
    if (resident) display->WatchIdle(*idle_seconds * 1000u);
    display->OnOutputGone([&](wl_output* output) {
      std::erase(outputs, output);
      for (auto& f : fields.list)
        if (f->runtime.output() == output) f->runtime.OutputGone();
    });
    auto cover = [&](wl_output* output) {
      auto field = std::make_unique<Field>(*display, output);
      field->runtime.Open();
      field->loop.Start();
      field->wake_at = field->runtime.Now();
      fields.list.push_back(std::move(field));
    };
    for (;;) {
      for (wl_output* output : display->TakeNewOutputs()) {
        outputs.push_back(output);
        if (covered) cover(output);
      }
      display->StartupDone();
      if (display->SignalledToEnd()) return 0;
      if (display->InputCame()) {
        if (!resident) return 0;
        fields.LetGoOf([](const Field&) { return true; });
        covered = false;
        display->StartWaiting();
      }
      if (display->Lost())
        throw StartupError("lost the connection to the display (" + display->name() + ")");
      if (!covered && display->TakeIdle()) {
        covered = true;
        // Opening one field dispatches, and may see another output go.
        for (wl_output* output : std::vector(outputs))
          if (std::find(outputs.begin(), outputs.end(), output) != outputs.end()) cover(output);
      }
      fields.LetGoOf([](const Field& f) { return f.runtime.CloseRequested(); });
      Nanos next = covered ? display->Now() + kIdleWait : kNoDeadline;
      for (auto& f : fields.list) {
        // A frame asked for goes at once, whenever the field meant to wake.
        if (display->Now() >= f->wake_at || f->runtime.FrameAsked()) f->wake_at = f->loop.Step();
        next = std::min(next, f->wake_at);
      }
      display->WaitUntil(next);
      for (auto& f : fields.list)
        f->runtime.TakeBackBuffer();
    }
  } catch (const NoLayerShell& e) {
    if (role == LayerRole::kScreensaver) return std::nullopt;
    PrintError(e.what());
  } catch (const StartupError& e) {
    PrintError(e.what());
  } catch (const RunTimeError& e) {
    PrintError(e.Message());
  }
  return 1;
}

}  // namespace

int RunBackground(RunStats* stats) {
  if (stats != nullptr) stats->present = "wayland layer shm";
  return RunLayers(LayerRole::kBackground, {}, stats).value_or(1);
}

std::optional<int> RunScreensaverLayers() {
  return RunLayers(LayerRole::kScreensaver);
}

std::optional<int> RunResidentLayers(std::uint32_t idle_seconds) {
  return RunLayers(LayerRole::kScreensaver, idle_seconds);
}

}  // namespace glimmer
