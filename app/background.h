// `glimmerfeld --background` on a Wayland desktop.
#pragma once

namespace glimmer {

// Runs a field on the background layer of every output until SIGINT or
// SIGTERM (status 0). Refuses with one line and status 1 where the
// compositor has no layer shell, and ends so when the connection is lost or
// a handler fails.
int RunBackground();

}  // namespace glimmer
