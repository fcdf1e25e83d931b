#include "app/program.h"

#include <cstdio>

#include "runtime/sdl_runtime.h"

namespace glimmer {

int RunProgram(RunStats* stats) {
  SdlRuntime runtime;
  try {
    runtime.Open(WindowSettings{FormDescription::kTitle, FormDescription::kClientWidth,
                                FormDescription::kClientHeight, FormDescription::kFrameWidth,
                                FormDescription::kFrameHeight});
  } catch (const StartupError& e) {
    std::fprintf(stderr, "glimmerfeld: %s\n", e.what());
    return 1;
  }
  return RunForm(runtime, stats);
}

}  // namespace glimmer
