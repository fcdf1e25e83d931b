// xprobe: the window probe as a command, for scripts (screenshots, benches).
//   xprobe wait TITLE [TIMEOUT_MS]   print the id of the window titled TITLE
//   xprobe png ID FILE               save its client area as a PNG
//   xprobe close ID                  ask it to close (WM_DELETE_WINDOW)
//   xprobe resize ID W H
//   xprobe iconify ID                unmap it, as minimising without a window manager
//   xprobe map ID                    map and raise it again
//   xprobe xvfb [--screen WxHxD] [--] COMMAND [ARGS...]
//                                    run COMMAND in a private Xvfb, the one
//                                    the tests start: DISPLAY names it and
//                                    GLIMMER_XVFB_PID is its process id; exits
//                                    with COMMAND's status
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/x11_probe.h"
#include "tools/png_writer.h"

namespace {

pid_t g_command = -1;

// Passed on, so that the command can end and the server be stopped after it.
void ForwardSignal(int sig) {
  if (g_command > 0) kill(g_command, sig);
}

int RunInXvfb(int argc, char** argv) {
  std::string screen = "1280x1024x24";
  int i = 2;
  if (i + 1 < argc && std::strcmp(argv[i], "--screen") == 0) {
    screen = argv[i + 1];
    i += 2;
  }
  if (i < argc && std::strcmp(argv[i], "--") == 0) ++i;
  if (i >= argc) {
    std::fprintf(stderr, "usage: xprobe xvfb [--screen WxHxD] [--] COMMAND [ARGS...]\n");
    return 2;
  }
  glimmer::testing::Xvfb server({}, screen);
  setenv("DISPLAY", server.display().c_str(), 1);
  setenv("GLIMMER_XVFB_PID", std::to_string(server.pid()).c_str(), 1);
  unsetenv("WAYLAND_DISPLAY");
  for (int sig : {SIGINT, SIGTERM, SIGHUP})
    signal(sig, ForwardSignal);
  g_command = fork();
  if (g_command < 0) return 1;
  if (g_command == 0) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
      signal(sig, SIG_DFL);
    execvp(argv[i], argv + i);
    std::fprintf(stderr, "xprobe xvfb: cannot run %s: %s\n", argv[i], std::strerror(errno));
    _exit(127);
  }
  int raw = 0;
  while (waitpid(g_command, &raw, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

}  // namespace

int main(int argc, char** argv) {
  using glimmer::testing::XProbe;
  if (argc > 1 && std::strcmp(argv[1], "xvfb") == 0) {
    try {
      return RunInXvfb(argc, argv);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "xprobe: %s\n", e.what());
      return 1;
    }
  }
  const char* display = std::getenv("DISPLAY");
  if (argc < 3 || display == nullptr) {
    std::fprintf(stderr,
                 "usage: xprobe wait|png|close|resize|iconify|map ... (DISPLAY set), "
                 "or xprobe xvfb ...\n");
    return 2;
  }
  try {
    XProbe probe(display);
    const std::string cmd = argv[1];
    if (cmd == "wait") {
      const long ms = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 5000;
      auto w = probe.WaitForWindow(argv[2], std::chrono::milliseconds(ms));
      if (!w) return 1;
      std::printf("%lu\n", *w);
      return 0;
    }
    const Window w = std::strtoul(argv[2], nullptr, 0);
    if (cmd == "png" && argc > 3) {
      const glimmer::testing::Image image = probe.Capture(w);
      return glimmer::WritePng(argv[3], image.width, image.height, image.pixels) ? 0 : 1;
    }
    if (cmd == "close") {
      probe.RequestClose(w);
      return 0;
    }
    if (cmd == "iconify") {
      probe.Iconify(w);
      return 0;
    }
    if (cmd == "map") {
      probe.MapRaised(w);
      return 0;
    }
    if (cmd == "resize" && argc > 4) {
      probe.Resize(w, std::atoi(argv[3]), std::atoi(argv[4]));
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "xprobe: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "xprobe: unknown command\n");
  return 2;
}
