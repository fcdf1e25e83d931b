// The desktop's layers on Wayland: a field on every output, each with its
// own window state, timers and loop, all on one thread and one connection.
// The loop steps each field when it wants to wake, then waits on the
// connection for the earliest of them; outputs that come get a field at
// once, and a field whose output goes is let go of, surface and buffers and
// all.
#include "app/desktop_layers.h"

#include <algorithm>
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

// Nullopt where the compositor has no layer shell.
std::optional<int> RunLayers(LayerRole role) {
  std::optional<LayerDisplay> display;
  std::vector<std::unique_ptr<Field>> fields;
  try {
    display.emplace(role);
    display->OnOutputGone([&fields](wl_output* output) {
      for (auto& f : fields)
        if (f->runtime.output() == output) f->runtime.OutputGone();
    });
    for (;;) {
      for (wl_output* output : display->TakeNewOutputs()) {
        auto field = std::make_unique<Field>(*display, output);
        field->runtime.Open();
        field->loop.Start();
        field->wake_at = field->runtime.Now();
        fields.push_back(std::move(field));
      }
      display->StartupDone();
      if (display->SignalledToEnd() || display->InputCame()) return 0;
      if (display->Lost())
        throw StartupError("lost the connection to the display (" + display->name() + ")");
      std::erase_if(fields, [](const auto& f) { return f->runtime.CloseRequested(); });
      Nanos next = display->Now() + kIdleWait;
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

}  // namespace glimmer
