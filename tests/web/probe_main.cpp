// probe.html: the program as index.html has it, plus what the browser tests and
// scripts/measure-web read from outside, through Module._glimmer_probe:
//   0: ticks of the dot spray delivered, 1: dropped, 2: frames presented,
//   3 and 4: the outer width and height the handlers read, in twips.
// With "#overflow" in the address it starts with a phase so large that the
// ball's first step overflows a Single: a run-time error.
#include <emscripten.h>

#include "app/web_program.h"

namespace {

glimmer::RunStats stats;

}  // namespace

extern "C" EMSCRIPTEN_KEEPALIVE double glimmer_probe(int what) {
  glimmer::CollectWebProgramStats();
  if (what == 2) return static_cast<double>(stats.frames);
  if (what == 3) return static_cast<double>(stats.outer_width);
  if (what == 4) return static_cast<double>(stats.outer_height);
  for (const auto& t : stats.timers) {
    if (t.name == "spray") return static_cast<double>(what == 0 ? t.delivered : t.dropped);
  }
  return -1;
}

int main() {
  // The page's address, as the page told it; a worker's own is the script's.
  const bool overflow = emscripten_run_script_int("Module.glimmerHost.hash === '#overflow'") != 0;
  glimmer::StartWebProgram(&stats, [overflow](glimmer::FieldWindow<glimmer::WebRuntime>& form) {
    if (!overflow) return;
    form.phase = 1e39;
  });
  return 0;
}
