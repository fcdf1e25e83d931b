// The desktop's own layers on a Wayland desktop: `glimmerfeld --background`,
// and `--screensaver` and `--screensaver-after` where the compositor has the
// layer shell.
#pragma once

#include <cstdint>
#include <optional>

namespace glimmer {

struct RunStats;

// Runs a field on the background layer of every output until SIGINT or
// SIGTERM (status 0). Refuses with one line and status 1 where the
// compositor has no layer shell, and ends so when the connection is lost or
// a handler fails. `stats`, if given, gets what every field delivered, added
// up (RunStats::fields says how many there were).
int RunBackground(RunStats* stats = nullptr);

// Runs a field over every output, above its windows and panels, until the
// user's first input (or SIGINT or SIGTERM): status 0. Nullopt, having
// printed nothing, where the compositor has no layer shell; otherwise ends
// as RunBackground does.
std::optional<int> RunScreensaverLayers();

// Waits, drawing nothing, until the seat has been idle for `idle_seconds`,
// then runs the screensaver's fields until the user's first input, and
// waits again, until SIGINT or SIGTERM (status 0). Nullopt, having printed
// nothing, where the compositor has no layer shell; refuses with one line
// and status 1 where it tells no idle time; otherwise ends as RunBackground
// does.
std::optional<int> RunResidentLayers(std::uint32_t idle_seconds);

}  // namespace glimmer
