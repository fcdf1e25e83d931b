// The desktop's own layers on a Wayland desktop: `glimmerfeld --background`,
// and `--screensaver` where the compositor has the layer shell.
#pragma once

#include <optional>

namespace glimmer {

// Runs a field on the background layer of every output until SIGINT or
// SIGTERM (status 0). Refuses with one line and status 1 where the
// compositor has no layer shell, and ends so when the connection is lost or
// a handler fails.
int RunBackground();

// Runs a field over every output, above its windows and panels, until the
// user's first input (or SIGINT or SIGTERM): status 0. Nullopt, having
// printed nothing, where the compositor has no layer shell; otherwise ends
// as RunBackground does.
std::optional<int> RunScreensaverLayers();

}  // namespace glimmer
