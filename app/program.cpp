#include "app/program.h"

#include <cstdio>

#include "app/icon_art.h"
#include "runtime/sdl_runtime.h"

namespace glimmer {

WindowSettings MainWindowSettings() {
  WindowSettings settings;
  settings.title = FormDescription::kTitle;
  settings.client_width_twips = FormDescription::kClientWidth;
  settings.client_height_twips = FormDescription::kClientHeight;
  settings.frame_width_twips = FormDescription::kFrameWidth;
  settings.frame_height_twips = FormDescription::kFrameHeight;
  settings.app_id = GLIMMER_APP_ID;
  settings.icon_size = icon_art::kWindowIconSize;
  settings.icon = icon_art::DrawPixels(settings.icon_size, icon_art::MakeSpeckles());
  return settings;
}

int RunProgram(RunStats* stats, SdlRuntimeOptions options, WakeUp wake_up,
               const std::function<void(frmRand<SdlRuntime>&)>& loaded) {
  SdlRuntime runtime(options);
  try {
    runtime.Open(MainWindowSettings());
  } catch (const StartupError& e) {
    std::fprintf(stderr, "glimmerfeld: %s\n", e.what());
    std::fflush(stderr);
    ShowStartupError(e.what());
    return 1;
  }
  if (stats != nullptr) stats->present = runtime.PresentDescription();
  return RunForm(runtime, stats, loaded, wake_up);
}

}  // namespace glimmer
