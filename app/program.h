#pragma once

#include "app/event_loop.h"

namespace glimmer {

// Opens the window and runs until it is closed; returns the exit status.
// `stats`, when given, receives what the run delivered.
int RunProgram(RunStats* stats = nullptr);

}  // namespace glimmer
