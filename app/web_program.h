// The program on a web page: the same window, timers and loop as on the
// desktop, driven by the browser's callbacks instead of a blocking loop.
#pragma once

#include <functional>

#include "app/event_loop.h"
#include "runtime/web/web_runtime.h"

namespace glimmer {

// Sizes the canvas and starts the program; returns at once, and the browser
// runs it from then on. `stats` and `loaded` as for RunField; the program
// passes neither, test builds do.
void StartWebProgram(RunStats* stats = nullptr,
                     const std::function<void(FieldWindow<WebRuntime>&)>& loaded = {});

// Brings `stats` up to date with the running program.
void CollectWebProgramStats();

}  // namespace glimmer
