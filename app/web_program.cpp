#include "app/web_program.h"

#include <memory>
#include <optional>

namespace glimmer {
namespace {

// The loop, and with it the window's controls, is made once the page is open,
// so that they start out at the page's scale.
struct WebProgram {
  WebRuntime runtime;
  std::optional<FieldLoop<WebRuntime>> loop;
  RunStats* stats = nullptr;
};

// The page owns the program for as long as it is open.
WebProgram* program = nullptr;

}  // namespace

void StartWebProgram(RunStats* stats, const std::function<void(FieldWindow<WebRuntime>&)>& loaded) {
  program = new WebProgram;
  program->stats = stats;
  WebRuntime& runtime = program->runtime;
  try {
    runtime.Open(WindowDescription::Window());
  } catch (const StartupError& e) {
    PrintError(e.what());
    runtime.ShowError(e.what());
    return;
  }
  FieldLoop<WebRuntime>& loop = program->loop.emplace(runtime, stats);
  // The ball on black from the first paint, while the page's frame rate is
  // measured. A page hidden at load needs it too: opening cleared its canvas
  // to black, which is what it would show when first seen.
  runtime.Present();
  runtime.WhenReady([&runtime, &loop, loaded] {
    auto stop = [&](const RunTimeError& e) {
      loop.Collect();
      ReportRunTimeError(runtime, e);
    };
    try {
      loop.Start(loaded);
    } catch (const RunTimeError& e) {
      stop(e);
      return;
    }
    runtime.Drive([&loop, stop]() -> std::optional<Nanos> {
      try {
        return loop.Step();
      } catch (const RunTimeError& e) {
        stop(e);
        return std::nullopt;
      }
    });
  });
}

void CollectWebProgramStats() {
  if (program == nullptr || !program->loop) return;
  program->loop->Collect();
  if (program->stats == nullptr) return;
  program->stats->outer_width = program->runtime.WindowWidth();
  program->stats->outer_height = program->runtime.WindowHeight();
}

}  // namespace glimmer
