#include "app/program.h"

#include <cstdio>

#include "runtime/sdl_runtime.h"

namespace glimmer {

int RunProgram(RunStats* stats, SdlRuntimeOptions options, WakeUp wake_up) {
  SdlRuntime runtime(options);
  try {
    runtime.Open(WindowSettings{FormDescription::kTitle, FormDescription::kClientWidth,
                                FormDescription::kClientHeight, FormDescription::kFrameWidth,
                                FormDescription::kFrameHeight});
  } catch (const StartupError& e) {
    std::fprintf(stderr, "glimmerfeld: %s\n", e.what());
    return 1;
  }
  if (stats != nullptr) stats->present = runtime.PresentDescription();
  return RunForm(runtime, stats, {}, wake_up);
}

}  // namespace glimmer
