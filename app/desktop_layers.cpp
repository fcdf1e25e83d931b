// The desktop's layers on Wayland: a field on every output, each with its
// own window state, timers and loop, all on one thread and one connection.
// The loop steps each field when it wants to wake, then waits on the
// connection for the earliest of them; outputs that come get a field at
// once, and a field whose output goes is let go of, surface and buffers and
// all. A resident screensaver makes its fields when the seat has gone idle
// and lets go of them all at the first input.
#include "app/desktop_layers.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "app/event_loop.h"
#include "runtime/layer/layer_runtime.h"

namespace glimmer {
namespace {

struct Field {
  Field(LayerDisplay& display, wl_output* output) : runtime(display, output), loop(runtime) {}
  LayerRuntime runtime;
  FieldLoop<LayerRuntime> loop;
  Nanos wake_at = 0;
};

// How long the loop waits at most with no field due, e.g. with no output.
constexpr Nanos kIdleWait = 1'000'000'000;

// Nullopt where the compositor has no layer shell and SDL's window can
// stand in (the screensaver's). With `idle_seconds` the screensaver is
// resident: the fields come when the seat has been idle that long and go at
// the first input, again and again; between them only the connection is
// waited on, with no deadline.
std::optional<int> RunLayers(LayerRole role, std::optional<std::uint32_t> idle_seconds = {}) {
  std::optional<LayerDisplay> display;
  std::vector<std::unique_ptr<Field>> fields;
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
      for (auto& f : fields)
        if (f->runtime.output() == output) f->runtime.OutputGone();
    });
    auto cover = [&](wl_output* output) {
      auto field = std::make_unique<Field>(*display, output);
      field->runtime.Open();
      field->loop.Start();
      field->wake_at = field->runtime.Now();
      fields.push_back(std::move(field));
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
        fields.clear();
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
      std::erase_if(fields, [](const auto& f) { return f->runtime.CloseRequested(); });
      Nanos next = covered ? display->Now() + kIdleWait : kNoDeadline;
      for (auto& f : fields) {
        if (display->Now() >= f->wake_at) f->wake_at = f->loop.Step();
        next = std::min(next, f->wake_at);
      }
      display->WaitUntil(next);
      for (auto& f : fields)
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

int RunBackground() {
  return RunLayers(LayerRole::kBackground).value_or(1);
}

std::optional<int> RunScreensaverLayers() {
  return RunLayers(LayerRole::kScreensaver);
}

std::optional<int> RunResidentLayers(std::uint32_t idle_seconds) {
  return RunLayers(LayerRole::kScreensaver, idle_seconds);
}

}  // namespace glimmer
